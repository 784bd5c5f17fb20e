// The tables a hash is measured in, the keys it is measured on, a table as the study drives it, and
// the allocator that counts a table's memory. Knows no hash: table_runs.h builds a table on any call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/keys.h"

namespace lab::tables {

// The tables of the cost study. How each is built is in table_runs.h, in a switch over this enum
// that the compiler checks for a missing case.
enum class table_id : int { std_unordered, std_map, boost_flat, boost_flat_avalanching, absl_flat, hopscotch, dense };

// google::dense_hash_map marks its empty slots with a key of the caller's choosing, which no key of
// the study may equal: bytes no key family makes, checked before the study. Every empty slot holds
// a copy of it, so it fits in std::string's own buffer (15 bytes here): a longer one would cost
// each slot an allocation of its own at every growth, work no program that picks its empty key
// pays, which would swamp the differences between the hashes.
inline constexpr char dense_empty_bytes[] = "\0no key\0\xfe\xfd\xfc\xfb\x01";
inline const std::string dense_empty_key(dense_empty_bytes, sizeof dense_empty_bytes - 1);

struct lab_table {
    table_id id;
    std::string name;
    bool hashed = true;  // false: std::map, the baseline without a hash
    std::string note;
};
// The only list of the tables, in report order.
const std::vector<lab_table>& lab_tables();
const lab_table& table_named(const std::string& name);  // bad_input when there is none

// The keys of a study as strings, prepared once so that no timed loop builds one: the set's order,
// one shuffled order (for the shuffled fill), the keys looked up (a sample in an order of its own,
// independent of the order they went in) and as many keys absent from the set.
struct study_keys {
    std::vector<std::string> ordered, shuffled, found, absent;
};
study_keys prepare_study(const key_set& keys, uint64_t seed);

// Operations per timed part of a loop: about a millisecond, shorter than the spells in which
// another tenant of the machine slows its memory down.
inline constexpr std::size_t table_part = 8192;
// Passes of the lookup loops over one filled table, and the keys each looks up: a lookup leaves
// the table as it was, so a sample tells its cost per operation as well as every key would, at a
// fraction of a fill's time: a quarter of the keys, at least 16 parts' worth.
inline constexpr int lookup_passes = 2;
inline constexpr std::size_t lookup_share = 4, fewest_lookups = 16 * table_part;

// One table of the cost study with its hash built in, driven a part at a time so that the study
// can time every hash's table in turn within the same millisecond. Key i goes in with value i.
class table_lane {
public:
    virtual ~table_lane() = default;
    virtual void insert(const std::string* keys, std::size_t first, std::size_t end) = 0;
    // How many of keys[first .. end) the table holds.
    virtual std::size_t find(const std::string* keys, std::size_t first, std::size_t end) const = 0;
    virtual std::size_t size() const = 0;
};
using lane_maker = std::unique_ptr<table_lane> (*)();

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

}  // namespace lab::tables
