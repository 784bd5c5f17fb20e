// Bit helpers the whole lab shares.
#pragma once

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

// Products and counts past 64 bits: the high word of a multiplication, binomials at saturation.
__extension__ typedef unsigned __int128 uint128;

}  // namespace lab
