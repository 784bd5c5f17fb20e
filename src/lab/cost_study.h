// The cost study: every hash in every table, in interleaved rounds repeated until the intervals of
// their ratios are narrow or the time budget is spent, marked best and tied from those intervals.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "keys.h"
#include "lab_hashes.h"
#include "tables.h"
#include "timing.h"

// One time figure of a combination: its passes (in the same rounds as every other hash of its
// table), and how it stands against the best hash of its table.
struct cost_figure {
    timed_parts parts;  // a row per pass of the loop, in the order they ran
    double ns = 0;      // the estimate: fastest_parts
    // The ratio of this hash's estimate to the best one's, with its interval; empty for the best.
    interval to_best;
    // "best": the lowest estimate of its table; "tied": its interval of the ratio to the best
    // includes 1; else "".
    std::string mark;
};

// Everything the cost study measured of one table with one hash on one key set.
struct cost_result {
    std::string table, hash, keys;  // hash "none" for std::map
    uint64_t key_count = 0;
    double hash_ns_per_key = 0;     // the hash alone, from the quality measures
    int runs = 0;                   // rounds kept
    int dropped = 0;                // runs timed again because a calibration beside them was disturbed
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

// How much a study may do: at least `least` rounds, then more for a table while an interval of its
// ratios is wider than `resolution` and the study has spent less than its budget: `budget_seconds`,
// or when that is 0, `seconds_per_combination` for each table and hash.
struct cost_effort {
    int least = 4, most = 40;
    double budget_seconds = 0, seconds_per_combination = 6.5;
    double resolution = 0.05;
};

// Estimates and marks every figure of the combinations of one table (all timed in the same rounds
// on `operations` keys): best, tied, and the interval of each ratio to the best.
void mark_table(std::vector<cost_result*>& table, std::size_t operations);

// The cost study of one key set: every table in `tables` with every hash that gives one value per
// key. In the first round each loop may take max(1 s, 2 us per operation); a combination that
// overruns is left out.
std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, const cost_effort& effort, uint64_t seed);
