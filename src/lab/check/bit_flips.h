// Bit-level tests: random keys of one length (or one key under random seeds), each input bit
// flipped in turn, and what the flip does to the output: how often each output bit flips
// (avalanche), whether two output bits flip independently of each other (bit independence), and
// the differences h(k) xor h(k with the bit flipped) themselves, for the battery's tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/lab_hashes.h"

namespace lab::check {

// Counts for one input bit over many flips: how often each output bit flipped and how often each
// pair of output bits flipped together. Counted 64 flips at a time: the 64 differences are
// transposed so that one word holds one output bit of all 64, and a pair's count is a popcount of
// two such words anded, instead of a loop over every pair of every flip.
struct flip_tally {
    explicit flip_tally(int width);
    void add(const uint64_t* differences, std::size_t count);  // count <= 64
    uint64_t together_of(int a, int b) const { return together[static_cast<std::size_t>(a) * width + b]; }  // a < b

    int width;
    uint64_t samples = 0;
    std::vector<uint64_t> flips;     // [j]: flips of the input bit in which output bit j flipped
    std::vector<uint64_t> together;  // [a * width + b], a < b: in which a and b both flipped
};

// The worst of every input bit's tally: the cell (input bit, output bit) that flipped furthest
// from half the time, and the pair of output bits whose flips were least independent (the
// chi-square of their 2 x 2 table, one degree of freedom).
struct flip_worst {
    uint64_t samples = 0;  // flips of each input bit
    int inputs = 0;        // input bits flipped
    int avalanche_input = 0, avalanche_output = 0;
    uint64_t avalanche_flips = 0;
    int pair_input = 0, pair_a = 0, pair_b = 0;
    double pair_chi_square = 0, pair_correlation = 0;
};
void take_worst(flip_worst& worst, const flip_tally& tally, int input);

// Flips every input bit of `samples` random keys of `length` bytes (or, when length is 0, every
// seed bit of the hash under random seeds, with random 16-byte keys). Long keys have the bits of
// their first and last 32 bytes flipped. The differences, input bit by input bit, go to
// `differences`. The input bits flipped are `input_bits(h, length)`.
flip_worst flip_study(const lab_hash& h, std::size_t length, uint64_t samples, uint64_t seed,
                      std::vector<uint64_t>& differences);
std::vector<int> input_bits(const lab_hash& h, std::size_t length);

}  // namespace lab::check
