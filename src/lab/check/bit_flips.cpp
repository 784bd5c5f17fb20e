#include "check/bit_flips.h"

#include <cmath>
#include <string>
#include <utility>

#include "core/bits.h"

namespace lab::check {

namespace {

// Transposes a 64 x 64 bit matrix in place: afterwards bit r of word c is what bit c of word r was.
void transpose(uint64_t a[64]) {
    uint64_t mask = 0x00000000FFFFFFFFull;
    for (int j = 32; j != 0; j >>= 1, mask ^= mask << j)
        for (int k = 0; k < 64; k = ((k | j) + 1) & ~j) {
            const uint64_t t = ((a[k] >> j) ^ a[k | j]) & mask;
            a[k] ^= t << j;
            a[k | j] ^= t;
        }
}

// A short key is the i-th value of a bijection of the n-bit numbers, so that no two keys of a set
// are equal, which random keys of 3 or 4 bytes would often be.
uint64_t scatter(uint64_t i, int n, uint64_t salt) {
    constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
    return scatter_bits(i ^ salt, n, {golden, golden, golden});
}

}  // namespace

flip_tally::flip_tally(int width)
    : width(width), flips(static_cast<std::size_t>(width)), together(static_cast<std::size_t>(width) * width) {}

// Built also for processors with a popcount instruction (every x86-64 of the last fifteen years),
// chosen when the program starts: the portable build counts bits in a library call, and these
// 2,016 counts for every 64 differences were 4 % of a check's time.
__attribute__((target_clones("popcnt", "default"))) void flip_tally::add(const uint64_t* differences, std::size_t count) {
    uint64_t rows[64] = {};
    for (std::size_t i = 0; i < count; ++i) rows[i] = differences[i];
    transpose(rows);
    samples += count;
    for (int a = 0; a < width; ++a) {
        if (rows[a] == 0) continue;
        flips[a] += static_cast<uint64_t>(__builtin_popcountll(rows[a]));
        for (int b = a + 1; b < width; ++b) together[static_cast<std::size_t>(a) * width + b] += __builtin_popcountll(rows[a] & rows[b]);
    }
}

void take_worst(flip_worst& worst, const flip_tally& tally, int input) {
    const double n = static_cast<double>(tally.samples);
    const auto off_half = [&](uint64_t f) { return std::fabs(static_cast<double>(f) - n / 2); };
    const bool first = worst.samples == 0;
    for (int j = 0; j < tally.width; ++j)
        if ((first && j == 0) || off_half(tally.flips[j]) > off_half(worst.avalanche_flips)) {
            worst.avalanche_input = input;
            worst.avalanche_output = j;
            worst.avalanche_flips = tally.flips[j];
        }
    for (int a = 0; a < tally.width; ++a)
        for (int b = a + 1; b < tally.width; ++b) {
            const double fa = static_cast<double>(tally.flips[a]), fb = static_cast<double>(tally.flips[b]);
            const double spread = fa * (n - fa) * fb * (n - fb);
            if (spread == 0) continue;  // a bit that always or never flips: the avalanche test's
            // With n11 both flipped, n11 n00 - n10 n01 = n n11 - fa fb.
            const double cross = n * static_cast<double>(tally.together_of(a, b)) - fa * fb;
            const double chi2 = n * cross * cross / spread;
            if (chi2 > worst.pair_chi_square) {
                worst.pair_chi_square = chi2;
                worst.pair_correlation = cross / std::sqrt(spread);
                worst.pair_input = input;
                worst.pair_a = a;
                worst.pair_b = b;
            }
        }
    worst.samples = tally.samples;
}

std::vector<int> input_bits(const lab_hash& h, std::size_t length) {
    std::vector<int> bits;
    const int all = length == 0 ? h.seed_bits : static_cast<int>(8 * length);
    for (int b = 0; b < all; ++b)
        if (length <= 64 || b < 256 || b >= all - 256) bits.push_back(b);
    return bits;
}

flip_worst flip_study(const lab_hash& h, std::size_t length, uint64_t samples, uint64_t seed,
                      std::vector<uint64_t>& differences) {
    const bool seeds = length == 0;
    const std::size_t key_length = seeds ? 16 : length;
    const uint64_t seed_mask = low_bits(h.seed_bits);
    uint64_t state = mix64(seed ^ (length << 32) ^ (seeds ? 0x5EED : 0));
    std::string keys(length <= 8 && !seeds ? 0 : samples * key_length, '\0');
    for (char& c : keys) c = static_cast<char>(mix64(++state));
    std::vector<uint64_t> key_seeds(samples, seed);
    if (seeds)
        for (uint64_t& s : key_seeds) s = mix64(++state) & seed_mask;
    const uint64_t salt = mix64(++state);

    flip_worst worst;
    const std::vector<int> bits = input_bits(h, length);
    differences.clear();
    differences.reserve(bits.size() * samples);
    uint64_t batch[64];
    std::string key(key_length, '\0');
    for (int bit : bits) {
        flip_tally tally(h.width);
        std::size_t filled = 0;
        for (uint64_t i = 0; i < samples; ++i) {
            // Each pair is (a key with the bit clear, the same key with it set): a key and its
            // partner never both appear, which would give the same difference twice.
            if (seeds) {
                key.assign(&keys[i * key_length], key_length);
            } else if (length <= 8) {
                const uint64_t v = scatter(i, static_cast<int>(8 * length) - 1, salt);
                const uint64_t low = (uint64_t{1} << bit) - 1, spread = (v & low) | ((v & ~low) << 1);
                for (std::size_t b = 0; b < length; ++b) key[b] = static_cast<char>(spread >> (8 * b));
            } else {
                key.assign(&keys[i * key_length], key_length);
                key[bit / 8] = static_cast<char>(key[bit / 8] & ~(1 << (bit % 8)));
            }
            uint64_t d;
            if (seeds) {
                const uint64_t s = key_seeds[i] & ~(uint64_t{1} << bit);
                d = h(key.data(), key_length, s) ^ h(key.data(), key_length, s | (uint64_t{1} << bit));
            } else {
                const uint64_t before = h(key.data(), key_length, seed);
                key[bit / 8] = static_cast<char>(key[bit / 8] | (1 << (bit % 8)));
                d = before ^ h(key.data(), key_length, seed);
            }
            differences.push_back(d);
            batch[filled++] = d;
            if (filled == 64) tally.add(batch, std::exchange(filled, 0));
        }
        tally.add(batch, filled);
        take_worst(worst, tally, bit);
    }
    worst.inputs = static_cast<int>(bits.size());
    return worst;
}

}  // namespace lab::check
