// What hashlab measures of a hash on a key set, each beside what an ideal hash would give: a
// function drawing its values independently and uniformly from its 2^width outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/keys.h"
#include "core/lab_hashes.h"

namespace lab {

// ---- The ideal hash: n values thrown into m equally likely bins --------------------------------

// Expected number of empty bins, and its standard deviation.
double ideal_empty(double n, double m);
double ideal_empty_sd(double n, double m);
// Expected collisions, n minus the expected number of distinct values: exact, also for m = 2^64.
double ideal_collisions(double n, double m);
// Expected size of the fullest bin (bins taken as independent Poisson counts).
double ideal_longest(double n, double m);

// ---- Measures ---------------------------------------------------------------------------------

struct collisions {
    uint64_t distinct = 0, count = 0;
    double ideal = 0, ratio = 0, sigmas = 0;  // sigmas: (count - ideal) / standard deviation
};
// Sorts `values` in place, keeping only their low `bits` bits.
collisions count_collisions(std::vector<uint64_t>& values, int bits);
void sort_values(std::vector<uint64_t>& values);

struct table_spread {
    uint64_t buckets = 0;
    double empty = 0, ideal_empty = 0, empty_sigmas = 0;  // fractions of the buckets
    uint64_t longest = 0;
    double ideal_longest = 0;
};
// Index = value mod buckets; for a power-of-two size that is the low bits.
table_spread spread(const std::vector<uint64_t>& values, uint64_t buckets);
uint64_t power_of_two_near(uint64_t n);  // nearest power of two, so the load is near 1
uint64_t prime_at_least(uint64_t n);

struct window_bias {
    int first_bit = 0, bits = 0;  // the window: bits first_bit .. first_bit + bits - 1, wrapping
    double sigmas = 0;            // its chi-square as a normal deviate; 0 when the set is too small
};
// Every window of 1 to 16 consecutive output bits that leaves at least 8 keys per bin: its first
// bit, its width and the chi-square of its counts against the uniform (2^bits - 1 degrees of
// freedom). widest_window(n) is the widest window for n values.
int widest_window(std::size_t n);
void for_each_window(const std::vector<uint64_t>& values, int width,
                     const std::function<void(int first_bit, int bits, double chi_square)>& use);
window_bias worst_window(const std::vector<uint64_t>& values, int width);

struct avalanche_result {
    uint64_t samples = 0, cells = 0;
    double worst = 0, noise = 0;  // bias in percent: 100 * |2 P(flip) - 1|
    int input_bit = -1, output_bit = -1;
};
// Flips single input bits of `samples` keys and counts which output bits change. Keys longer than
// 32 bytes get 256 of their bits flipped, chosen at random; only their first KiB is looked at.
avalanche_result avalanche(const lab_hash& h, const key_set& keys, const std::vector<uint64_t>& values,
                           uint64_t samples, uint64_t seed);

// Keys a text hash cannot tell apart because they agree up to their first NUL: the keys less the
// distinct prefixes, the prefixes compared by a 64-bit hash of them (exact but for a chance of
// n^2 / 2^65), so that a set too large to hold can be counted as its keys are made. each_key(visit)
// calls visit once per key.
using key_visit = std::function<void(std::string_view)>;
uint64_t merged_at_nul(const std::function<void(const key_visit&)>& each_key);
// The same in a buffer the caller holds already (a large set's own), not in fresh memory.
uint64_t merged_at_nul(const std::function<void(const key_visit&)>& each_key, std::vector<uint64_t>& prefixes);

// Nanoseconds per key of hashing the whole set in order, median of `repeats` after one warm-up.
double ns_per_key(const lab_hash& h, const key_set& keys, std::vector<uint64_t>& out, int repeats);

}  // namespace lab
