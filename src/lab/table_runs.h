// The timed loops of the cost study, one template for every table and any hash call. Included
// where the table of hashes is made, so each built-in hash is inlined into its tables' hashers.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>
#include <sparsehash/dense_hash_map>
#include <tsl/hopscotch_map.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "tables.h"

namespace table_runs {

// boost::unordered_flat_map mixes the bits of a hash unless the hasher says it is avalanching.
struct avalanching_mark {
    using is_avalanching = void;
};
struct no_mark {};

// A hasher over the whole key string; text hashes still stop at its first NUL.
template <class Call, bool Avalanching>
struct hasher : std::conditional_t<Avalanching, avalanching_mark, no_mark> {
    Call call;
    std::size_t operator()(const std::string& key) const noexcept {
        return static_cast<std::size_t>(call(key.c_str(), key.size(), 0));
    }
};

using entry = std::pair<const std::string, uint32_t>;
template <class H>
using std_unordered = std::unordered_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using boost_flat = boost::unordered_flat_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using absl_flat = absl::flat_hash_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
using ordered = std::map<std::string, uint32_t, std::less<std::string>, counting_allocator<entry>>;
// Power-of-two growth, its default.
template <class H>
using hopscotch = tsl::hopscotch_map<std::string, uint32_t, H, std::equal_to<std::string>,
                                     counting_allocator<std::pair<std::string, uint32_t>>>;
template <class H>
using dense = google::dense_hash_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;

using clock = std::chrono::steady_clock;

inline clock::time_point deadline_after(clock::duration budget) {
    const auto now = clock::now();
    return budget >= clock::time_point::max() - now ? clock::time_point::max() : now + budget;
}

// Runs body(i) for i in 0 .. n-1 and returns ns per call. The clock is read between parts of
// table_part calls (a few ns in thousands of operations), and the parts' ns added to `passes` as
// one more row, so that the study can take each part at its fastest; a loop past the deadline
// stops there, and `done` tells how far it got.
template <class Body>
double timed_loop(std::size_t n, clock::time_point deadline, std::size_t& done, timed_parts& passes, Body body) {
    // The row and its room first, so that no allocation falls inside the clocks.
    std::vector<double>& parts = passes.emplace_back();
    parts.reserve((n + table_part - 1) / table_part);
    const auto start = clock::now();
    auto now = start;
    for (done = 0; done < n && now <= deadline;) {
        const std::size_t end = std::min(n, done + table_part);
        const auto part_start = now;
        for (std::size_t i = done; i < end; ++i) body(i);
        done = end;
        now = clock::now();
        parts.push_back(std::chrono::duration<double, std::nano>(now - part_start).count());
    }
    return done == 0 ? 0 : std::chrono::duration<double, std::nano>(now - start).count() / static_cast<double>(done);
}

// Adds a key: emplace where the table has it; google::dense_hash_map has only insert.
template <class Table, class = void>
struct has_emplace : std::false_type {};
template <class Table>
struct has_emplace<Table, std::void_t<decltype(std::declval<Table&>().emplace(std::declval<const std::string&>(), 0u))>>
    : std::true_type {};

template <class Table>
void put(Table& table, const std::string& key, uint32_t value) {
    if constexpr (has_emplace<Table>::value) {
        table.emplace(key, value);
    } else {
        table.insert({key, value});
    }
}

// Fills a new table in the set's order, then another in shuffled order and looks up every key and
// as many absent ones. Only the loops are timed; the checks after them make a wrong table an error.
// A loop that runs longer than `budget` stops there and the run is marked cut short.
template <class Make>
table_run fill_and_find(const study_keys& keys, clock::duration budget, Make make) {
    const std::size_t n = keys.ordered.size();
    table_run run;
    std::size_t done = 0;
    const auto cut = [&](const char* loop, double ns, std::size_t total) {
        if (done == total) return false;
        run.cut_in = loop;
        run.cut_after = done;
        run.cut_ns = ns;
        return true;
    };
    {
        allocations = {};
        auto table = make();
        run.insert_ordered = timed_loop(n, deadline_after(budget), done, run.insert_ordered_parts, [&](std::size_t i) {
            put(table, keys.ordered[i], static_cast<uint32_t>(i));
        });
        if (cut("insert", run.insert_ordered, n)) return run;
        run.bytes_per_entry = static_cast<double>(allocations.live) / static_cast<double>(n);
        run.peak_bytes_per_entry = static_cast<double>(allocations.peak) / static_cast<double>(n);
        if (table.size() != n) throw std::logic_error("a table lost keys in its fill");
    }
    auto table = make();
    run.insert_shuffled = timed_loop(n, deadline_after(budget), done, run.insert_shuffled_parts, [&](std::size_t i) {
        put(table, keys.shuffled[i], static_cast<uint32_t>(i));
    });
    if (cut("insert_shuffled", run.insert_shuffled, n)) return run;
    // Lookups leave the table as it was, so they are timed in several passes, each one more
    // chance for every part to meet a quiet machine, at a fraction of a fill's cost.
    std::size_t found = 0, wrongly_found = 0;
    for (int pass = 0; pass < lookup_passes; ++pass) {
        const double hit = timed_loop(n, deadline_after(budget), done, run.hit_parts, [&](std::size_t i) {
            found += table.find(keys.shuffled[i]) != table.end();
        });
        if (pass == 0) run.hit = hit;
        if (cut("hit", hit, n)) return run;
        const double miss = timed_loop(keys.absent.size(), deadline_after(budget), done, run.miss_parts, [&](std::size_t i) {
            wrongly_found += table.find(keys.absent[i]) != table.end();
        });
        if (pass == 0) run.miss = miss;
        if (cut("miss", miss, keys.absent.size())) return run;
    }
    if (table.size() != n || found != n * lookup_passes || wrongly_found != 0)
        throw std::logic_error("a table did not find its keys, or found absent ones");
    return run;
}

// How each table is built around the hasher of `call`, in one place: calls use(make), where make()
// returns a new, empty table. No default case, so the compiler names a table left out.
template <class Call, class Use>
auto with_table(table_id id, Call call, Use use) {
    using plain = hasher<Call, false>;
    using marked = hasher<Call, true>;
    switch (id) {
        case table_id::std_unordered: return use([&] { return std_unordered<plain>(0, plain{{}, call}); });
        case table_id::std_map: return use([] { return ordered(); });
        case table_id::boost_flat: return use([&] { return boost_flat<plain>(0, plain{{}, call}); });
        case table_id::boost_flat_avalanching: return use([&] { return boost_flat<marked>(0, marked{{}, call}); });
        case table_id::absl_flat: return use([&] { return absl_flat<plain>(0, plain{{}, call}); });
        case table_id::hopscotch: return use([&] { return hopscotch<plain>(0, plain{{}, call}); });
        case table_id::dense: return use([&] {
            dense<plain> table(0, plain{{}, call});
            table.set_empty_key(dense_empty_key);  // a key it may never hold; run_cost_study checks
            return table;
        });
    }
    throw std::logic_error("no such table");
}

template <class Call>
table_run run_in_table(table_id table, Call call, const study_keys& keys, clock::duration budget) {
    return with_table(table, call, [&](auto make) { return fill_and_find(keys, budget, make); });
}

}  // namespace table_runs
