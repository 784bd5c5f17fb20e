// The cost study: every hash in every table, repeated in interleaved rounds, summarised as median
// and range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys.h"
#include "lab_hashes.h"
#include "tables.h"

// The median and range of one figure over the repetitions.
struct spread_of_runs {
    double median = 0, min = 0, max = 0;
};
spread_of_runs summarise(std::vector<double> samples);
// Two results are "within noise" of each other when their ranges overlap.
inline bool within_noise(const spread_of_runs& a, const spread_of_runs& b) { return a.min <= b.max && b.min <= a.max; }

// Pins the calling thread, and the threads it starts later, to one core until destroyed.
class core_pin {
public:
    core_pin();
    ~core_pin();
    core_pin(const core_pin&) = delete;
    core_pin& operator=(const core_pin&) = delete;
    // "core N", or why the process could not be pinned.
    const std::string& description() const { return description_; }

private:
    std::string description_;
    bool pinned_ = false;
    std::vector<unsigned char> saved_;
};

// Everything the cost study measured of one table with one hash on one key set.
struct cost_result {
    std::string table, hash, keys;  // hash "none" for std::map
    uint64_t key_count = 0;
    double hash_ns_per_key = 0;     // the hash alone, from the quality measures
    int runs = 0;
    spread_of_runs insert_ordered, insert_shuffled, hit, miss, bytes_per_entry, peak_bytes_per_entry;
    // A combination whose warm-up overran the time budget in one of its loops is left out; the
    // loop, the operations it did and their ns per operation say how slow it was.
    bool too_slow = false;
    std::string cut_in;
    uint64_t cut_after = 0;
    double cut_ns = 0;
};

// The cost study of one key set: every table in `tables` with every hash that gives one value per
// key, repetitions interleaved after a warm-up round. In the warm-up
// each loop may take max(1 s, 2 us per operation); a combination that overruns is left out.
std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, int repeat, uint64_t seed);
