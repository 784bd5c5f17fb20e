// hashlab's measures on inputs whose answer is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "core/keys.h"
#include "core/lab_hashes.h"
#include "core/measures.h"
#include "tables/tables.h"

using namespace lab;
using namespace lab::tables;

namespace {

TEST(Ideal, ExpectationsAtKnownPoints) {
    struct point { double n, m, collisions, empty; };
    const point points[] = {
        // 10 keys in 4 bins: 4 (3/4)^10 bins stay empty, so 4 - that are used.
        {10, 4, 10 - 4 * (1 - std::pow(0.75, 10)), 4 * std::pow(0.75, 10)},
        {5e6, 0x1p32, 2909.25, 0x1p32 - 5e6 + 2909.25},
        {5e6, 0x1p64, 5e6 * (5e6 - 1) / 2 / 0x1p64, 0x1p64 - 5e6},  // sparse: n(n-1)/2m
    };
    for (const auto& p : points) {
        EXPECT_NEAR(ideal_collisions(p.n, p.m), p.collisions, p.collisions * 1e-5) << p.n << " in " << p.m;
        EXPECT_NEAR(ideal_empty(p.n, p.m), p.empty, p.empty * 1e-12) << p.n << " in " << p.m;
    }
    // The variance, directly from its definition where that is still exact in double.
    const double q1 = std::pow(0.75, 10), q2 = std::pow(0.5, 10);
    EXPECT_NEAR(ideal_empty_sd(10, 4), std::sqrt(4 * 3 * q2 + 4 * q1 - 16 * q1 * q1), 1e-9);
    // Sparse tables: collisions are nearly Poisson, so the deviation is nearly the root of the mean.
    for (double m : {0x1p32, 0x1p64})
        EXPECT_NEAR(ideal_empty_sd(5e6, m), std::sqrt(ideal_collisions(5e6, m)), 0.01 * std::sqrt(ideal_collisions(5e6, m)));
}

TEST(Collisions, CountsAtFullWidthAndLow32) {
    std::vector<uint64_t> values = {7, 1, 1, 2, (uint64_t{1} << 32) | 2, 3, ~uint64_t{0}, 0xFFFFFFFF};
    const collisions full = count_collisions(values, 64);
    EXPECT_EQ(full.distinct, 7u);
    EXPECT_EQ(full.count, 1u);
    const collisions low = count_collisions(values, 32);
    EXPECT_EQ(low.distinct, 5u);
    EXPECT_EQ(low.count, 3u);

    // The sort against the standard one, on its edge cases and on values of every length.
    std::mt19937_64 random(3);
    std::vector<uint64_t> many(100000), increasing(5000), top_equal(5000);
    for (auto& v : many) v = random() >> (random() % 64);
    std::iota(increasing.begin(), increasing.end(), uint64_t{1} << 40);
    for (auto& v : top_equal) v = (uint64_t{0xABCD} << 48) | (random() & 0xFFFF);  // equal in the top bits only
    const std::vector<uint64_t> decreasing(increasing.rbegin(), increasing.rend());
    const struct { const char* name; std::vector<uint64_t> values; } cases[] = {
        {"empty", {}}, {"one value", {42}}, {"all equal", std::vector<uint64_t>(4097, ~uint64_t{0})},
        {"increasing", increasing}, {"decreasing", decreasing}, {"equal in the top bits", top_equal}, {"mixed", many}};
    for (const auto& c : cases) {
        std::vector<uint64_t> sorted = c.values, expected = c.values;
        std::sort(expected.begin(), expected.end());
        const collisions counted = count_collisions(sorted, 64);
        EXPECT_EQ(sorted, expected) << c.name;
        EXPECT_EQ(counted.distinct, static_cast<uint64_t>(std::unique(expected.begin(), expected.end()) - expected.begin())) << c.name;
    }
}

// Constructed hashes whose spread is known.
TEST(Spread, ConstructedHashes) {
    constexpr uint64_t n = 1 << 16;
    std::vector<uint64_t> permutation(n), constant(n, 42), high_bits(n);
    std::iota(permutation.begin(), permutation.end(), 0);
    std::shuffle(permutation.begin(), permutation.end(), std::mt19937_64(1));
    for (uint64_t i = 0; i < n; ++i) high_bits[i] = (i * 0x9E3779B97F4A7C15ull) & ~uint64_t{0xFFFFFFFFFF};
    const uint64_t prime = prime_at_least(n);
    ASSERT_EQ(prime, 65537u);
    ASSERT_EQ(power_of_two_near(n), n);
    ASSERT_EQ(power_of_two_near(92682), 1u << 17);  // above 2^16.5: the larger power is nearer
    ASSERT_EQ(power_of_two_near(92681), 1u << 16);

    struct expectation { const char* name; const std::vector<uint64_t>& values; uint64_t pow2_longest; bool prime_fine; int width; bool windows_fine; };
    const expectation cases[] = {
        {"permutation", permutation, 1, true, 16, true},
        {"constant", constant, n, false, 64, false},
        {"high bits only", high_bits, n, true, 64, false},
    };
    for (const auto& c : cases) {
        const table_spread pow2 = spread(c.values, n), by_prime = spread(c.values, prime);
        EXPECT_EQ(pow2.longest, c.pow2_longest) << c.name;
        EXPECT_NEAR(pow2.empty, c.pow2_longest == 1 ? 0.0 : 1 - 1.0 / n, 1e-12) << c.name;
        EXPECT_EQ(by_prime.empty_sigmas < 5 && by_prime.longest < 2 * by_prime.ideal_longest, c.prime_fine) << c.name;
        const window_bias w = worst_window(c.values, c.width);
        EXPECT_EQ(w.sigmas < 6, c.windows_fine) << c.name << " worst window " << w.first_bit << "+" << w.bits;
        if (&c.values == &high_bits) {
            EXPECT_LE(w.first_bit + w.bits, 40) << "the worst window lies in the unused low bits";
        }
    }
    EXPECT_NEAR(spread(permutation, n).ideal_empty, std::exp(-1.0), 1e-4);

    // A well-mixed random hash lands near every ideal figure.
    std::mt19937_64 random(5);
    std::vector<uint64_t> uniform(n);
    for (auto& v : uniform) v = random();
    for (const auto& s : {spread(uniform, n), spread(uniform, prime)}) {
        EXPECT_LT(std::fabs(s.empty_sigmas), 4);
        EXPECT_LE(std::fabs(double(s.longest) - s.ideal_longest), 2);
    }
    EXPECT_LT(worst_window(uniform, 64).sigmas, 6);
}

uint64_t constant_hash(const char*, std::size_t, uint64_t) { return 0x5555; }

// The widest window of output bits a set of n values is judged on: 2^b bins of at least 8 values
// each, at most 16 bits. At each boundary, one value fewer is one bit narrower.
TEST(Windows, AtLeastEightValuesABin) {
    const struct { std::size_t n; int widest; } cases[] = {
        {15, 0}, {16, 1}, {8 << 10, 10}, {(8 << 10) - 1, 9}, {8 << 16, 16}, {std::size_t{1} << 40, 16}};
    for (const auto& c : cases) EXPECT_EQ(widest_window(c.n), c.widest) << c.n;
}

TEST(Avalanche, ConstantIsFullyBiasedAndAGoodMixIsWithinNoise) {
    const key_set keys = make_key_set("decimal:20000", 1);
    std::vector<uint64_t> values(keys.size());
    const lab_hash constant = runtime_hash("constant", 64, constant_hash, "test");
    const avalanche_result worst = avalanche(constant, keys, values, 2000, 1);
    EXPECT_EQ(worst.worst, 100);
    EXPECT_GT(worst.noise, 0);
    for (const char* name : {"xxh64", "murmur3", "xxh32-index"}) {
        const lab_hash h = select_hashes({name}, {}).front();
        h.hash_all(h, keys, values.data());
        const avalanche_result good = avalanche(h, keys, values, 10000, 1);
        EXPECT_LT(good.worst, good.noise) << name;
        EXPECT_EQ(good.cells, 40u * h.width) << name << ": every bit of the keys of 5 digits or fewer";
    }
}

}  // namespace
