// table_alone: one hash in one table, alone in its process, as a user's program would use it: fill
// a table with the first N decimal keys in a shuffled order, then find each once, each loop timed
// whole. bench/alone_vs_paired.py runs it per hash and table and sets its figures beside the cost
// study's, which times the same tables side by side in one process. With --warm its memory comes
// from a heap touched first, as the study's does, so that the two differ only in the company.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tables/cost_study.h"
#include "core/keys.h"
#include "core/lab_hashes.h"
#include "tables/table_lanes.h"
#include "tables/tables.h"

using namespace lab;
using namespace lab::tables;

int main(int argc, char** argv) {
    const bool warm = argc > 1 && std::string(argv[1]) == "--warm";
    argv += warm;
    argc -= warm;
    if (argc < 3) {
        std::fprintf(stderr, "usage: table_alone [--warm] HASH TABLE [KEYS]   (KEYS: a --keys set, default decimal:1000000)\n");
        return 2;
    }
    try {
        const lab_hash hash = select_hashes({argv[1]}, {}).front();
        const lab_table& table = table_named(argv[2]);
        const key_set keys = make_key_set(argc > 3 ? argv[3] : "decimal:1000000", 1);
        const keep_heap heap(warm ? 1.5 * table_bytes(keys) : 0);
        const study_keys study = prepare_study(keys, 1);
        const std::size_t n = study.shuffled.size();
        const auto lane = new_lane(hash, table.id);
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        lane->insert(study.shuffled.data(), 0, n);
        const auto filled = clock::now();
        const std::size_t found = lane->find(study.shuffled.data(), 0, n);
        const auto done = clock::now();
        if (found != n || lane->size() != n) throw std::logic_error("the table lost keys");
        const auto ns = [&](clock::time_point a, clock::time_point b) {
            return std::chrono::duration<double, std::nano>(b - a).count() / static_cast<double>(n);
        };
        std::printf("%.2f %.2f\n", ns(start, filled), ns(filled, done));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "table_alone: %s\n", e.what());
        return 2;
    }
}
