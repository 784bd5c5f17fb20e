// The tables a hash is measured in, the keys it is measured on, what one run of a table gives, and
// the allocator that counts a table's memory. Knows no hash: the loops (table_runs.h) take any call.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "keys.h"
#include "timing.h"

// The tables of the cost study. How each is built is in table_runs.h, in a switch over this enum
// that the compiler checks for a missing case.
enum class table_id : int { std_unordered, std_map, boost_flat, boost_flat_avalanching, absl_flat, hopscotch, dense };

// google::dense_hash_map marks its empty slots with a key of the caller's choosing, which no key of
// the study may equal: bytes no key family makes, checked before the study.
inline constexpr char dense_empty_bytes[] = "\0hashlab: no key\0\xfe\xfd\xfc\xfb\x01";
inline const std::string dense_empty_key(dense_empty_bytes, sizeof dense_empty_bytes - 1);

struct lab_table {
    table_id id;
    std::string name;
    bool hashed;  // false: std::map, the baseline without a hash
    std::string note;
};
// The only list of the tables, in report order.
const std::vector<lab_table>& lab_tables();
const lab_table& table_named(const std::string& name);  // bad_input when there is none

// The keys of a study as strings, prepared once so that no timed loop builds one: the set's order,
// one shuffled order (for the shuffled fill and the lookups), and as many keys absent from the set.
struct study_keys {
    std::vector<std::string> ordered, shuffled, absent;
};
study_keys prepare_study(const key_set& keys, uint64_t seed);

// Operations per timed part of a loop: about a millisecond, shorter than the spells in which
// another tenant of the machine slows its memory down.
inline constexpr std::size_t table_part = 8192;
// Passes of the lookup loops over one filled table.
inline constexpr int lookup_passes = 2;

// One repetition of one table with one hash: ns per operation, bytes the table holds from its
// allocator per entry at the end of the fill, and the most it held at any time during the fill.
// A loop that overran its time budget ends the run: cut_in names it ("insert", "insert_shuffled",
// "hit", "miss"), with the operations done and their ns per operation.
struct table_run {
    double insert_ordered = 0, insert_shuffled = 0, hit = 0, miss = 0;  // the first pass
    // Each loop's ns in parts of table_part operations: a row per pass.
    timed_parts insert_ordered_parts, insert_shuffled_parts, hit_parts, miss_parts;
    double bytes_per_entry = 0, peak_bytes_per_entry = 0;
    std::string cut_in;
    std::size_t cut_after = 0;
    double cut_ns = 0;
};

// The bytes live through counting_allocator on this thread, and their peak since the last reset.
struct allocation_count {
    std::size_t live = 0, peak = 0;
};
inline thread_local allocation_count allocations;

// The nested types and rebind are what an allocator had to declare before C++11; sparsehash
// still asks for them.
template <class T>
struct counting_allocator {
    using value_type = T;
    using pointer = T*;
    using const_pointer = const T*;
    using reference = T&;
    using const_reference = const T&;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    template <class U>
    struct rebind {
        using other = counting_allocator<U>;
    };
    counting_allocator() = default;
    template <class U>
    counting_allocator(const counting_allocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>().allocate(n);
        allocations.live += n * sizeof(T);
        if (allocations.live > allocations.peak) allocations.peak = allocations.live;
        return p;
    }
    void deallocate(T* p, std::size_t n) noexcept {
        allocations.live -= n * sizeof(T);
        std::allocator<T>().deallocate(p, n);
    }
    std::size_t max_size() const noexcept { return std::size_t(-1) / sizeof(T); }
    template <class U>
    bool operator==(const counting_allocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const counting_allocator<U>&) const noexcept { return false; }
};
