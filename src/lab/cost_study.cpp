#include "cost_study.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

spread_of_runs summarise(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return {median, samples.front(), samples.back()};
}

core_pin::core_pin() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        description_ = "not pinned: the allowed cores could not be read";
        return;
    }
    saved_.assign(reinterpret_cast<unsigned char*>(&allowed), reinterpret_cast<unsigned char*>(&allowed) + sizeof allowed);
    // The last allowed core: the first tends to take the system's interrupts.
    int core = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) core = c;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    if (core < 0 || sched_setaffinity(0, sizeof one, &one) != 0) {
        description_ = "not pinned: the system refused";
        return;
    }
    pinned_ = true;
    description_ = "pinned to core " + std::to_string(core);
}

core_pin::~core_pin() {
    if (pinned_) sched_setaffinity(0, saved_.size(), reinterpret_cast<const cpu_set_t*>(saved_.data()));
}

std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, int repeat, uint64_t seed) {
    for (const auto& t : tables)
        for (std::size_t i = 0; t.id == table_id::dense && i < keys.size(); ++i)
            if (keys.key(i) == dense_empty_key)
                throw bad_input("key set " + keys.name + " holds the key google::dense_hash_map reserves for its empty slots");
    const study_keys study = prepare_study(keys, seed);
    struct combination {
        const lab_hash* hash;
        const lab_table* table;
        cost_result result;
        std::vector<table_run> runs;
    };
    std::vector<combination> combinations;
    for (const auto& table : tables) {
        for (const auto& h : hashes) {
            if (!h.deterministic()) continue;
            combinations.push_back({&h, &table, {}, {}});
            combinations.back().result.hash = table.hashed ? h.name : "none";
            if (!table.hashed) break;  // std::map: once, whatever the hash
        }
    }
    for (auto& c : combinations) {
        c.result.table = c.table->name;
        c.result.keys = keys.name;
        c.result.key_count = keys.size();
    }
    // Long enough for any table that works, short enough that the study ends in minutes.
    const auto budget = std::max<std::chrono::steady_clock::duration>(
        std::chrono::seconds(1), std::chrono::microseconds(2) * static_cast<long>(keys.size()));
    for (int round = 0; round <= repeat; ++round) {  // round 0 warms up, and finds the too slow
        for (auto& c : combinations) {
            if (c.result.too_slow) continue;
            const table_run run = c.hash->run_in_table(*c.hash, c.table->id, study,
                                                       round == 0 ? budget : std::chrono::steady_clock::duration::max());
            if (!run.cut_in.empty()) {
                c.result.too_slow = true;
                c.result.cut_in = run.cut_in;
                c.result.cut_after = run.cut_after;
                c.result.cut_ns = run.cut_ns;
            } else if (round > 0) {
                c.runs.push_back(run);
            }
        }
    }
    std::vector<cost_result> results;
    for (auto& c : combinations) {
        cost_result& r = c.result;
        r.runs = static_cast<int>(c.runs.size());
        const auto figure = [&](double table_run::*field) {
            std::vector<double> samples;
            for (const auto& run : c.runs) samples.push_back(run.*field);
            return summarise(samples);
        };
        r.insert_ordered = figure(&table_run::insert_ordered);
        r.insert_shuffled = figure(&table_run::insert_shuffled);
        r.hit = figure(&table_run::hit);
        r.miss = figure(&table_run::miss);
        r.bytes_per_entry = figure(&table_run::bytes_per_entry);
        r.peak_bytes_per_entry = figure(&table_run::peak_bytes_per_entry);
        results.push_back(r);
    }
    return results;
}
