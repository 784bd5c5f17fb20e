// hashlab's measures on inputs whose answer is known, and its key-file parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <random>
#include <string>

#include "keys.h"
#include "lab_hashes.h"
#include "measures.h"
#include "tables.h"

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

    // The radix sort against the standard one, on values that fill every digit.
    std::mt19937_64 random(3);
    std::vector<uint64_t> many(100000);
    for (auto& v : many) v = random() >> (random() % 64);
    std::vector<uint64_t> expected = many;
    std::sort(expected.begin(), expected.end());
    count_collisions(many, 64);
    EXPECT_EQ(many, expected);
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

const lab_hash& builtin(const std::string& name) {
    for (const auto& h : builtin_hashes())
        if (h.name == name) return h;
    throw std::logic_error("no hash " + name);
}

uint64_t constant_hash(const char*, std::size_t, uint64_t) { return 0x5555; }

TEST(Avalanche, ConstantIsFullyBiasedAndAGoodMixIsWithinNoise) {
    const key_set keys = make_key_set("decimal:20000", 1);
    std::vector<uint64_t> values(keys.size());
    const lab_hash constant = runtime_hash("constant", 64, constant_hash, "test");
    const avalanche_result worst = avalanche(constant, keys, values, 2000, 1);
    EXPECT_EQ(worst.worst, 100);
    EXPECT_GT(worst.noise, 0);
    for (const char* name : {"xxh64", "murmur3", "xxh32-index"}) {
        const lab_hash& h = builtin(name);
        h.hash_all(h, keys, values.data());
        const avalanche_result good = avalanche(h, keys, values, 10000, 1);
        EXPECT_LT(good.worst, good.noise) << name;
        EXPECT_EQ(good.cells, 40u * h.width) << name << ": every bit of the keys of 5 digits or fewer";
    }
}

// Published values of the libraries' algorithms, through the lab's adapters.
TEST(Hashes, AdaptersGiveTheAlgorithmsValues) {
    struct golden { const char* hash; const char* text; uint64_t value; };
    const golden table[] = {
        {"siphash", "", 0x726fdb47dd0e0e31ull},  // key 00..0f, the first reference vector
        {"murmur3", "", 0},
        {"murmur3", "The quick brown fox jumps over the lazy dog", 0x2e4ff723},
        {"xxh64", "", 0xEF46DB3751D8E999ull},
    };
    for (const auto& g : table) {
        const std::string key = g.text;
        EXPECT_EQ(builtin(g.hash)(key.c_str(), key.size(), 0), g.value) << g.hash << " of '" << g.text << "'";
    }
    std::vector<std::string> names;
    for (const auto& h : builtin_hashes()) names.push_back(h.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "a name is listed twice";
}

TEST(Keys, FileParser) {
    struct parse_case { std::string text; std::vector<std::string> keys; uint64_t duplicates, with_nul; };
    const parse_case cases[] = {
        {"a\nb\n", {"a", "b"}, 0, 0},
        {"a\r\nb", {"a", "b"}, 0, 0},                  // CR LF, and no newline at the end
        {"a\r\r\n\r\n", {"a\r", ""}, 0, 0},            // one CR per line is the line end
        {"b\na\nb\n\n\n", {"b", "a", ""}, 2, 0},         // first occurrence kept, in place
        {std::string("x\0y\nx\n", 6), {std::string("x\0y", 3), "x"}, 0, 1},
        {"", {}, 0, 0},
    };
    for (const auto& c : cases) {
        const key_set keys = parse_key_lines(c.text, "file");
        std::vector<std::string> got;
        for (std::size_t i = 0; i < keys.size(); ++i) got.emplace_back(keys.key(i));
        EXPECT_EQ(got, c.keys) << testing::PrintToString(c.text);
        EXPECT_EQ(keys.duplicates, c.duplicates) << testing::PrintToString(c.text);
        EXPECT_EQ(keys.with_nul, c.with_nul) << testing::PrintToString(c.text);
    }
    const key_set nul_keys = parse_key_lines(std::string("a\0x\na\0y\na\nb", 12), "file");
    EXPECT_EQ(merged_at_nul(nul_keys), 2u);
}

TEST(Keys, GeneratedSets) {
    const key_set uuids = make_key_set("uuid:50", 7);
    ASSERT_EQ(uuids.size(), 50u);
    for (std::size_t i = 0; i < uuids.size(); ++i) {
        const std::string_view u = uuids.key(i);
        ASSERT_EQ(u.size(), 36u);
        EXPECT_EQ(u[14], '4');
        EXPECT_NE(std::string("89ab").find(u[19]), std::string::npos) << u;
        EXPECT_EQ(u.find_first_not_of("0123456789abcdef-"), std::string_view::npos) << u;
    }
    const key_set a = make_key_set("random:3:1000", 9), b = make_key_set("random:3:1000", 9), c = make_key_set("random:3:1000", 10);
    EXPECT_EQ(a.key(0), b.key(0));
    EXPECT_NE(a.key(0), c.key(0));
    EXPECT_EQ(a.length(999), 3u);
}

}  // namespace

namespace {

constexpr auto no_limit = std::chrono::steady_clock::duration::max();

// Every table with every hash that can serve one, on keys with long, short and NUL-holding
// members: the run itself checks sizes, that each key is found and that no absent key is.
TEST(Tables, EveryTableFindsEveryKeyWithEveryHash) {
    key_set keys = make_key_set("decimal:3000", 1);
    using namespace std::string_literals;
    for (const auto& extra : {""s, "a much longer key than the small-string buffer holds"s, "nul\0a"s, "nul\0b"s})
        keys.add(extra);
    const study_keys study = prepare_study(keys, 1);
    ASSERT_EQ(study.absent.size(), keys.size());
    for (const auto& h : builtin_hashes()) {
        if (!h.deterministic()) continue;
        for (std::size_t t = 0; t < lab_tables().size(); ++t) {
            table_run run;
            ASSERT_NO_THROW(run = h.run_in_table(h, t, study, no_limit)) << h.name << " in " << lab_tables()[t].name;
            EXPECT_GT(run.hit, 0) << h.name << " in " << lab_tables()[t].name;
            EXPECT_EQ(run.cut_in, "") << h.name << " in " << lab_tables()[t].name;
            EXPECT_GE(run.peak_bytes_per_entry, run.bytes_per_entry);
        }
    }
}

// A table that degenerates (every key in one place) overruns a small budget and is cut short.
TEST(Tables, AnOverrunningLoopIsCutShort) {
    const lab_hash constant = runtime_hash("constant", 64, constant_hash, "test");
    const study_keys study = prepare_study(make_key_set("decimal:20000", 1), 1);
    const table_run run = constant.run_in_table(constant, 0, study, std::chrono::milliseconds(20));
    EXPECT_EQ(run.cut_in, "insert");
    EXPECT_GT(run.cut_after, 0u);
    EXPECT_LT(run.cut_after, 20000u);
    EXPECT_GT(run.cut_ns, 0);
}

TEST(Tables, CountingAllocatorCountsLiveAndPeakBytes) {
    allocations = {};
    counting_allocator<uint64_t> a;
    uint64_t* ten = a.allocate(10);
    uint64_t* five = a.allocate(5);
    a.deallocate(ten, 10);
    EXPECT_EQ(allocations.live, 40u);
    EXPECT_EQ(allocations.peak, 120u);
    a.deallocate(five, 5);
    EXPECT_EQ(allocations.live, 0u);

    // A tree allocates one node per entry and frees nothing while it fills.
    const lab_hash& h = builtin("xxh3");
    const table_run small = h.run_in_table(h, 1, prepare_study(make_key_set("decimal:1000", 1), 1), no_limit);
    const table_run large = h.run_in_table(h, 1, prepare_study(make_key_set("decimal:4000", 1), 1), no_limit);
    EXPECT_EQ(small.bytes_per_entry, large.bytes_per_entry);
    EXPECT_EQ(small.peak_bytes_per_entry, small.bytes_per_entry);
    EXPECT_GE(small.bytes_per_entry, sizeof(std::string) + sizeof(uint32_t) + 3 * sizeof(void*));
}

TEST(Tables, MedianRangeAndWithinNoise) {
    const spread_of_runs odd = summarise({30, 10, 20}), even = summarise({4, 1, 3, 2});
    EXPECT_EQ(odd.median, 20);
    EXPECT_EQ(odd.min, 10);
    EXPECT_EQ(odd.max, 30);
    EXPECT_EQ(even.median, 2.5);
    struct pair_case { spread_of_runs a, b; bool within; };
    const pair_case cases[] = {
        {{20, 10, 30}, {35, 30, 40}, true},  // touching ends
        {{20, 10, 30}, {25, 22, 24}, true},  // one inside the other
        {{20, 10, 30}, {35, 31, 40}, false},
        {{35, 31, 40}, {20, 10, 30}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(within_noise(c.a, c.b), c.within) << c.a.min << ".." << c.a.max;
}

}  // namespace
