#include "tables.h"

#include <sched.h>

#include <algorithm>
#include <random>
#include <string_view>

#include "lab_hashes.h"

const std::vector<lab_table>& lab_tables() {
    static const std::vector<lab_table> tables = {
        {table_id::std_unordered, "std::unordered_map", true,
         "our standard library's, default-constructed: prime bucket counts, chained nodes"},
        {table_id::std_map, "std::map", false, "ordered tree, no hash: the baseline"},
        {table_id::boost_flat, "boost::unordered_flat_map", true, "open addressing, power-of-two groups; mixes the hash's bits"},
        {table_id::boost_flat_avalanching, "boost::unordered_flat_map:avalanching", true,
         "the same with the hash marked avalanching: no mixing"},
        {table_id::absl_flat, "absl::flat_hash_map", true, "open addressing, power-of-two groups (Swiss table)"},
        {table_id::hopscotch, "tsl::hopscotch_map", true, "hopscotch hashing, power-of-two growth; neighbourhoods of 62"},
        {table_id::dense, "google::dense_hash_map", true, "open addressing, quadratic probing; an empty key reserved"},
    };
    return tables;
}

const lab_table& table_named(const std::string& name) {
    for (const auto& t : lab_tables())
        if (t.name == name) return t;
    std::string known;
    for (const auto& t : lab_tables()) known += (known.empty() ? "" : ", ") + t.name;
    throw bad_input("unknown table '" + name + "'; known: " + known);
}

study_keys prepare_study(const key_set& keys, uint64_t seed) {
    study_keys study;
    const std::size_t n = keys.size();
    study.ordered.reserve(n);
    for (std::size_t i = 0; i < n; ++i) study.ordered.emplace_back(keys.key(i));
    study.shuffled = study.ordered;
    std::shuffle(study.shuffled.begin(), study.shuffled.end(), std::mt19937_64(seed));
    // Absent keys: each key with one more byte, unless that too is a key of the set.
    std::vector<std::string_view> sorted(study.ordered.begin(), study.ordered.end());
    std::sort(sorted.begin(), sorted.end());
    study.absent.reserve(n);
    for (const auto& key : study.shuffled) {
        std::string absent = key + '\x7f';
        if (!std::binary_search(sorted.begin(), sorted.end(), std::string_view(absent))) study.absent.push_back(std::move(absent));
    }
    return study;
}

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
