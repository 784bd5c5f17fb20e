// The bit-level tests: the bit-parallel counts against a plain count, and the avalanche and
// independence of constructed hashes whose answers are known.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/bits.h"
#include "check/bit_flips.h"
#include "check/check.h"
#include "hashes.h"
#include "core/lab_hashes.h"
#include "core/stats.h"

using namespace lab;
using namespace lab::check;

namespace {

TEST(FlipTally, MatchesAPlainCountOfEveryBitAndPair) {
    for (int width : {32, 64}) {
        std::vector<uint64_t> differences(200);  // three full words of 64 and a partial one
        for (std::size_t i = 0; i < differences.size(); ++i) {
            differences[i] = mix64(i) & mix64(i + 1000);  // bits set a quarter of the time
            if (width == 32) differences[i] &= 0xFFFFFFFF;
        }
        differences[7] = ~uint64_t{0} >> (64 - width);
        flip_tally tally(width);
        for (std::size_t at = 0; at < differences.size(); at += 64)
            tally.add(&differences[at], std::min<std::size_t>(64, differences.size() - at));
        ASSERT_EQ(tally.samples, differences.size());
        for (int a = 0; a < width; ++a) {
            uint64_t flips = 0;
            for (uint64_t d : differences) flips += d >> a & 1;
            EXPECT_EQ(tally.flips[a], flips) << width << " bit " << a;
            for (int b = a + 1; b < width; ++b) {
                uint64_t both = 0;
                for (uint64_t d : differences) both += (d >> a & 1) & (d >> b & 1);
                ASSERT_EQ(tally.together_of(a, b), both) << width << " bits " << a << ", " << b;
            }
        }
    }
}

uint64_t first_bytes(const char* d, std::size_t n, uint64_t) {  // the key's first 8 bytes, as they are
    uint64_t v = 0;
    std::memcpy(&v, d, std::min<std::size_t>(n, 8));
    return v;
}
uint64_t constant(const char*, std::size_t, uint64_t) { return 42; }
uint64_t good(const char* d, std::size_t n, uint64_t s) { return XXH64(d, n, s); }
uint64_t bit_one_copies_bit_zero(const char* d, std::size_t n, uint64_t s) {
    const uint64_t h = XXH64(d, n, s);
    return (h & ~uint64_t{2}) | (h & 1) << 1;
}
uint64_t seed_only_in_low_bits(const char* d, std::size_t n, uint64_t s) { return XXH64(d, n, 0) ^ (s & 0xFF); }

TEST(FlipStudy, ConstructedHashesGiveTheirKnownAnswers) {
    constexpr uint64_t samples = 4096;
    struct expectation {
        const char* name;
        hash_call call;
        std::size_t length;       // 0: the seed's bits
        bool avalanche_fails, independence_fails;
        uint64_t worst_flips;     // of the worst cell, when it is known exactly
        double correlation;       // of the worst pair, when it is known exactly (else 0)
    };
    const expectation cases[] = {
        // Input bit i flips output bit i every time and nothing else: a cell at 100 %, and no pair
        // that varies at all.
        {"identity", first_bytes, 8, true, false, samples, 0},
        {"constant", constant, 8, true, false, 0, 0},
        {"good", good, 11, false, false, 0, 0},
        {"copies", bit_one_copies_bit_zero, 11, false, true, 0, 1},
        {"good, seed bits", good, 0, false, false, 0, 0},
        // Seed bit i < 8 flips output bit i every time.
        {"seed in the low bits", seed_only_in_low_bits, 0, true, false, samples, 0},
    };
    for (const auto& c : cases) {
        lab_hash h = runtime_hash(c.name, 64, c.call, "test");
        h.seed_bits = 64;
        std::vector<uint64_t> differences;
        const flip_worst w = flip_study(h, c.length, samples, 1, differences);
        const int inputs = c.length == 0 ? 64 : static_cast<int>(8 * c.length);
        EXPECT_EQ(w.inputs, inputs) << c.name;
        EXPECT_EQ(differences.size(), samples * inputs) << c.name;
        const double n = static_cast<double>(w.samples), f = static_cast<double>(w.avalanche_flips);
        const double avalanche = sidak_log2(1 + binomial_lower_log2(std::min(f, n - f), n, 0.5), inputs * 64.0);
        const double independence = sidak_log2(chi_square_tail_log2(w.pair_chi_square, 1), inputs * 64.0 * 63 / 2);
        EXPECT_EQ(avalanche < std::log2(0.001), c.avalanche_fails) << c.name << ": " << avalanche;
        EXPECT_EQ(independence < std::log2(0.001), c.independence_fails) << c.name << ": " << independence;
        if (c.avalanche_fails) {
            EXPECT_EQ(w.avalanche_flips, c.worst_flips) << c.name;
        }
        if (c.correlation != 0) {
            EXPECT_DOUBLE_EQ(w.pair_correlation, c.correlation) << c.name;
            EXPECT_EQ(w.pair_a, 0);
            EXPECT_EQ(w.pair_b, 1);
        }
    }
}

// Short keys are distinct and each pair is a key with the bit clear and the same key with it set,
// so a good hash's differences do not collide more than chance even in 3-byte keys.
TEST(FlipStudy, ShortKeysGiveNoRepeatedDifferences) {
    const lab_hash h = runtime_hash("good", 64, good, "test");
    std::vector<uint64_t> differences;
    flip_study(h, 3, 1 << 15, 7, differences);
    std::sort(differences.begin(), differences.end());
    EXPECT_EQ(std::adjacent_find(differences.begin(), differences.end()), differences.end());
}

}  // namespace
