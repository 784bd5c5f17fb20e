// hashlab collide: full-width collisions of a hash over billions of keys, out of core.
//
// The hash range is cut into parts by the values' top bits, and each part into buckets. A pass
// makes and hashes every key on every core and keeps the values of its part, each in its bucket
// with only the bits its bucket does not already say (6 bytes a value at 64 bits); each bucket
// is then sorted in cache and its runs of equal values counted. The first pass also counts every
// part, so that a hash crowding one part is caught before a second pass. Under MPI each rank makes
// a slice of the keys and the values go to the rank that owns their part. A last pass, only when
// something collided, finds the keys of the first colliding values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/keys.h"
#include "core/lab_hashes.h"

namespace lab::collide {

struct collide_pass {
    uint64_t values = 0, collisions = 0;
    double seconds = 0;
};

// Keys that share a value: the two first by index, and how many keys have it.
struct collide_pair {
    uint64_t value = 0, first = 0, second = 0, sharing = 0;
    std::string first_key, second_key;  // the keys' bytes
};

// The pairs equal in a 64-bit hash's top `bits` bits, as a table that keeps only those sees them.
struct collide_width {
    int bits = 0;
    uint64_t collisions = 0;
    double expected = 0, log2_p_more = 0;
};

struct collide_result {
    std::string hash, keys;
    uint64_t count = 0, passes = 0;
    int width = 64, ranks = 1, threads = 1;
    int value_bytes = 8;             // what one value takes in memory, its bucket's bits left out
    std::vector<collide_pass> done;  // the passes counted, in order
    uint64_t collisions = 0;
    double expected = 0;             // over the passes done: an ideal hash's pairs, N(N-1)/2^(width+1) in all
    double log2_p_more = 0, log2_p_fewer = 0;  // P(X >= collisions), P(X <= collisions), X ~ Poisson(expected)
    bool complete = true;            // false when interrupted: the passes done are an honest sample
    std::string crowded;             // set when one part held far more values than an ideal hash puts there
    std::vector<collide_pair> pairs; // the smallest colliding values, at most `show`, with their keys
    std::vector<collide_width> top_bits;  // 64-bit hashes: the widths 32 to 63, from the same sort
    double seconds = 0;       // the whole count, on this rank
    double hash_seconds = 0;  // of which the hash alone, by the rate of a sample of keys hashed and nothing kept
    uint64_t hash_sample = 0;
};

// What collide tells its caller as it goes, and asks it.
struct collide_hooks {
    std::function<void(const std::string& doing)> step;  // what is under way ("pass 2 of 3")
    std::function<void(const collide_result&, uint64_t pass)> counted;
    std::function<bool()> stop;  // asked between batches of keys: end the count early
};

// The ideal hash's expected colliding pairs among n keys at `width` bits.
double ideal_pairs(double n, int width);

// Passes needed so that one part's values fit in `memory_bytes` on each of `ranks`; bad_input
// when that would take more than max_parts parts.
uint64_t passes_for(uint64_t count, double memory_bytes, int ranks, int width);
inline constexpr uint64_t max_parts = uint64_t{1} << 15;

// Counts the colliding pairs of `count` keys of `keys` under hash h, in `passes` passes, and
// names the keys of the `show` smallest colliding values.
collide_result collide(const lab_hash& h, const indexed_keys& keys, uint64_t count, uint64_t passes, uint64_t seed,
                       std::size_t show, const collide_hooks& hooks);

}  // namespace lab::collide
