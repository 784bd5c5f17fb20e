// Bit helpers the whole lab shares.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab {

// SplitMix64's finaliser: a bijection of the 64-bit values that looks random; a counter passed
// through it is the lab's stream of random numbers where a stream must be the same on every run.
inline uint64_t mix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The low `bits` bits set, for 0 to 64 bits (a shift by 64 would be undefined).
inline uint64_t low_bits(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// A bijection of the numbers below 2^bits (bits up to 64) that looks random, so that the i-th of a
// set's keys are distinct and unlike their neighbours: per odd multiplier, a product modulo 2^bits
// (a bijection, as the multiplier is odd) and an xor-shift of the high half into the low.
template <std::size_t Rounds>
uint64_t scatter_bits(uint64_t x, int bits, const uint64_t (&odd)[Rounds]) {
    const uint64_t mask = low_bits(bits);
    x &= mask;
    for (uint64_t m : odd) {
        x = (x * m) & mask;
        x ^= x >> (bits / 2 + 1);
    }
    return x;
}

// Products and counts past 64 bits: the high word of a multiplication, binomials at saturation.
__extension__ typedef unsigned __int128 uint128;

}  // namespace lab
