// The timed loops of the cost study, one template for every table and hash. Included only where
// the table of hashes is made, so each built-in hash is inlined into its tables' hashers.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "lab_hashes.h"
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

template <hash_call F>
struct inline_call {
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return F(data, length, seed); }
};

struct pointer_call {
    const lab_hash* hash;
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return (*hash)(data, length, seed); }
};

using entry = std::pair<const std::string, uint32_t>;
template <class H>
using std_unordered = std::unordered_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using boost_flat = boost::unordered_flat_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
template <class H>
using absl_flat = absl::flat_hash_map<std::string, uint32_t, H, std::equal_to<std::string>, counting_allocator<entry>>;
using ordered = std::map<std::string, uint32_t, std::less<std::string>, counting_allocator<entry>>;

inline double ns_per(std::chrono::steady_clock::time_point start, std::size_t operations) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(operations);
}

// Fills a new table in the set's order, then another in shuffled order and looks up every key and
// as many absent ones. Only the loops are timed; the checks after them make a wrong table an error.
template <class Table, class... Construction>
table_run fill_and_find(const study_keys& keys, const Construction&... construction) {
    const std::size_t n = keys.ordered.size();
    table_run run;
    {
        allocations = {};
        Table table(construction...);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < n; ++i) table.emplace(keys.ordered[i], static_cast<uint32_t>(i));
        run.insert_ordered = ns_per(start, n);
        run.bytes_per_entry = static_cast<double>(allocations.live) / static_cast<double>(n);
        run.peak_bytes_per_entry = static_cast<double>(allocations.peak) / static_cast<double>(n);
        if (table.size() != n) throw std::logic_error("a table lost keys in its fill");
    }
    Table table(construction...);
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < n; ++i) table.emplace(keys.shuffled[i], static_cast<uint32_t>(i));
    run.insert_shuffled = ns_per(start, n);
    std::size_t found = 0;
    start = std::chrono::steady_clock::now();
    for (const auto& key : keys.shuffled) found += table.find(key) != table.end();
    run.hit = ns_per(start, n);
    std::size_t wrongly_found = 0;
    start = std::chrono::steady_clock::now();
    for (const auto& key : keys.absent) wrongly_found += table.find(key) != table.end();
    run.miss = ns_per(start, keys.absent.size());
    if (table.size() != n || found != n || wrongly_found != 0)
        throw std::logic_error("a table did not find its keys, or found absent ones");
    return run;
}

// The tables in the order of lab_tables().
template <class Call>
table_run run_in_table(std::size_t table, Call call, const study_keys& keys) {
    using plain = hasher<Call, false>;
    using marked = hasher<Call, true>;
    switch (table) {
        case 0: return fill_and_find<std_unordered<plain>>(keys, std::size_t{0}, plain{{}, call});
        case 1: return fill_and_find<ordered>(keys);
        case 2: return fill_and_find<boost_flat<plain>>(keys, std::size_t{0}, plain{{}, call});
        case 3: return fill_and_find<boost_flat<marked>>(keys, std::size_t{0}, marked{{}, call});
        case 4: return fill_and_find<absl_flat<plain>>(keys, std::size_t{0}, plain{{}, call});
        default: throw std::logic_error("no such table");
    }
}

template <hash_call F>
table_run run_inline(const lab_hash&, std::size_t table, const study_keys& keys) {
    return run_in_table(table, inline_call<F>{}, keys);
}

inline table_run run_through_pointer(const lab_hash& h, std::size_t table, const study_keys& keys) {
    return run_in_table(table, pointer_call{&h}, keys);
}

}  // namespace table_runs
