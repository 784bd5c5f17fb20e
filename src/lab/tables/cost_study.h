// The cost study: every hash's table of one kind alive at once and driven in lockstep, part by
// part, so that rivals are timed milliseconds apart and the machine's drift cancels from their
// ratios; rounds repeated until the intervals are narrow or the time budget is spent; each table
// marked and summed up in one line of advice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/keys.h"
#include "core/lab_hashes.h"
#include "tables/table_lanes.h"
#include "tables/tables.h"
#include "core/timing.h"

namespace lab::tables {

// One time figure of a combination: its passes, each part timed beside the same part of every
// other hash of its group, and how it stands against the best hash of its table.
struct cost_figure {
    timed_parts parts;           // a row per pass of the loop, in the order they ran
    std::size_t operations = 0;  // of a pass
    double ns = 0;               // the estimate: fastest_parts
    // The ratio of this hash's cost to the best one's, paired part by part, with its interval;
    // empty for the best.
    interval to_best;
    // "best": the lowest ratio of its table; "tied": its interval of the ratio to the best holds 1;
    // "undecided": its interval spans more than a factor of two, evidence of nothing; else "".
    std::string mark;
};

// Everything the cost study measured of one table with one hash on one key set.
struct cost_result {
    std::string table, hash, keys;  // hash "none" for std::map
    uint64_t key_count = 0;
    double hash_ns_per_key = 0;     // the hash alone, from the quality measures
    int runs = 0;                   // rounds kept
    int group = 0;                  // which of the table's groups (of tables alive together) it ran in
    cost_figure insert_ordered, insert_shuffled, hit, miss;
    spread_of_runs bytes_per_entry, peak_bytes_per_entry;
    // A combination whose first round overran the time budget in one of its loops is left out; the
    // loop, the operations it did and their ns per operation say how slow it was.
    bool too_slow = false;
    std::string cut_in;
    uint64_t cut_after = 0;
    double cut_ns = 0;
};

// The time figures, in report order.
inline constexpr std::pair<const char*, cost_figure cost_result::*> cost_time_figures[] = {
    {"insert", &cost_result::insert_ordered},
    {"insert_shuffled", &cost_result::insert_shuffled},
    {"hit", &cost_result::hit},
    {"miss", &cost_result::miss},
};
// A figure's name in that table.
const char* name_of(cost_figure cost_result::*figure);

// A table's answer in words, on what a program pays per key that it adds and finds again: a fill
// in shuffled order and a hit (a fill in the set's order favours hashes that keep neighbouring
// keys together; a miss in a table a bad hash leaves mostly empty is cheap).
// A rival's interval of its cost over another's: above 1 throughout, slower; holding 1 and
// within a factor of two, tied; wider, undecided.
enum class standing { slower, undecided, tied };
standing standing_of(const interval& i);

// How a hash failed the battery, as a table sees it: a table with one seed sees the hash's values
// of its keys, not their differences, bit flips or other seeds.
struct battery_failure {
    bool on_values = false;  // some test of the values of a family at one seed failed
    std::string where;       // the set and test of the first such failure, else of the first failure
};

struct table_advice {
    struct rival {
        std::string hash;
        interval to_fastest;
    };
    std::string table, keys, fastest;
    std::vector<rival> within;     // interval holding 1, by estimate
    std::vector<rival> slower;     // interval above 1, by estimate
    std::vector<rival> undecided;  // interval wider than a factor of two
    // Where an earlier `hashlab check` is given: the hashes it failed.
    std::map<std::string, battery_failure> fails_battery;
    std::vector<std::string> by_speed;  // the measured hashes, the fastest first
    std::map<std::string, std::map<std::string, interval>> paired;  // [a][b]: a's cost over b's, timed side by side
    std::string text() const;
};

// How much a study may do: at least `least` rounds, then more for a table while an interval of its
// ratios is wider than `resolution` and the study has spent less than its budget: `budget_seconds`,
// or when that is 0, `seconds_per_combination` for each table and hash.
struct cost_effort {
    int least = 3, most = 40;
    double budget_seconds = 0, seconds_per_combination = 2;
    double resolution = 0.04;
    // The bytes the tables alive together may take; 0: half the memory the machine has free.
    double memory_bytes = 0;
};

// Where a study's tables come from: new_lane (table_lanes.h), or a test's tables of known cost.
using lane_factory = std::function<std::unique_ptr<table_lane>(const lab_hash&, table_id)>;
// Nanoseconds from a fixed start: the steady clock, or a test's clock that tables of known cost
// advance, so that the study's arithmetic is checked whatever the machine is doing.
using nanosecond_clock = std::function<double()>;
double steady_ns();

// The cost study of one table kind on one key set: a table per hash, in groups that fit in memory,
// each group holding the reference hash (the first) so that every ratio is paired.
class table_study {
public:
    table_study(const lab_table& table, const std::vector<const lab_hash*>& hashes, const study_keys& keys,
                std::size_t key_count, const std::string& keys_name, std::size_t tables_per_group, uint64_t seed,
                lane_factory make = new_lane, nanosecond_clock now = steady_ns);
    // One round of every group: an ordered fill, a shuffled fill and its lookup passes. In the first
    // round a loop may take `first_budget_ns` per table; a table that overruns is left out.
    void round(bool first, double first_budget_ns);
    // Estimates, intervals and marks from the rounds so far.
    void mark();
    bool narrow(double resolution) const;
    std::vector<cost_result> results() const;
    table_advice advice() const;
    std::size_t groups() const { return groups_.size(); }

private:
    struct lane {
        std::size_t member = 0;  // index into the hashes
        cost_result result;
        std::unique_ptr<table_lane> table;
        allocation_count memory;  // its allocator's bytes, swapped in while it runs
        double elapsed = 0;       // ns in the current loop
        std::size_t found = 0;    // keys its lookups found this round
    };
    using figure = cost_figure cost_result::*;
    template <class Work>
    void lockstep(std::vector<lane*>& lanes, std::size_t n, figure f, bool first, double budget_ns, Work work);
    void round_of(std::vector<lane>& group, bool first, double first_budget_ns);
    // Replicates of the ratio of member a's figure to member b's, paired where they ran together,
    // else through the reference both ran beside.
    replicates ratio(std::size_t a, std::size_t b, figure f) const;
    replicates workload_ratio(std::size_t a, std::size_t b) const;
    lane& home(std::size_t member);  // the lane whose figures are the member's
    const lane& home(std::size_t member) const;
    const lane* beside(std::size_t member, int group) const;  // the member's lane in a group, if any
    std::vector<std::size_t> measured() const;               // the members not left out as too slow

    const lab_table& table_;
    const std::vector<const lab_hash*> hashes_;
    const study_keys& keys_;
    std::size_t key_count_;
    std::vector<std::vector<lane>> groups_;  // groups_[g][0] is the reference when there are several
    std::mt19937_64 order_;
    lane_factory make_;
    nanosecond_clock now_;
};

// Refuses, before any work, a key set that a chosen table cannot hold, or whose tables would not
// fit two at a time in the memory allowed.
void check_cost_study(const std::vector<lab_table>& tables, const key_set& keys, const cost_effort& effort);

// The cost study of one key set: every table in `tables` with every hash that gives one value per
// key, each table's hashes side by side. In the first round each loop may take max(0.25 s, 2 us per
// operation) per table; a combination that overruns is left out.
std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, const cost_effort& effort, uint64_t seed,
                                        std::vector<table_advice>* advice = nullptr);

// A generous guess of a table's peak bytes on these keys (an open-addressing table at half load
// while it grows into a table twice its size), and how many such tables fit in `memory_bytes`.
double table_bytes(const key_set& keys);
std::size_t tables_that_fit(const key_set& keys, double memory_bytes);

// While alive, the tables' memory comes from a heap whose pages were touched before the first
// round and are kept when freed; `bytes` of it touched up front.
class keep_heap {
public:
    explicit keep_heap(double bytes);
    ~keep_heap();
    keep_heap(const keep_heap&) = delete;
    keep_heap& operator=(const keep_heap&) = delete;
};
// Half the memory the machine has free now.
double default_study_memory();

}  // namespace lab::tables
