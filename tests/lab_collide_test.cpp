// hashlab collide: keys made from their index, counts of keys, and the out-of-core count against a
// plain one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <xxhash.h>

#include "collide/collide.h"
#include "core/bits.h"
#include "core/keys.h"

using namespace lab;
using namespace lab::collide;

namespace {

// The families computed from their index at the ends of their ranges: which bits of the base key
// (flips: a random one; sparse: zero) key i sets or flips, or the key's first bytes.
TEST(IndexKeys, KeysFromTheirIndexAndCounts) {
    const struct {
        const char* given;
        uint64_t size, index;
        std::vector<int> bits;  // flips and sparse: the bits of the base flipped
        std::string text;       // counter (its first bytes) and text: the key itself, or its start
    } cases[] = {
        {"counter:3", 1u << 24, 0x010203, {}, std::string("\x03\x02\x01", 3)},
        {"counter:16", ~uint64_t{0}, 0x0807060504030201, {}, "\x01\x02\x03\x04\x05\x06\x07\x08"},
        {"counter:16:1000", 1000, 999, {}, std::string("\xE7\x03\0\0", 4)},
        {"flips:2:2", 16 + 120, 0, {0}, ""},
        {"flips:2:2", 16 + 120, 15, {15}, ""},
        {"flips:2:2", 16 + 120, 16, {0, 1}, ""},
        {"flips:2:2", 16 + 120, 17, {0, 2}, ""},
        {"flips:2:2", 16 + 120, 18, {1, 2}, ""},
        {"flips:2:2", 16 + 120, 135, {14, 15}, ""},
        {"flips:128:64", ~uint64_t{0}, 0, {0}, ""},  // far more than 2^64 keys: capped
        {"sparse:16:2", 1 + 16 + 120, 0, {}, std::string(2, '\0')},
        {"sparse:16:2", 1 + 16 + 120, 17, {0, 1}, ""},
        {"sparse:16:2", 1 + 16 + 120, 18, {0, 2}, ""},
        {"sparse:16:2", 1 + 16 + 120, 136, {14, 15}, ""},
        // Past 2^64 keys, capped; the combination by exact arithmetic (Python's math.comb).
        {"sparse:32768:64", ~uint64_t{0}, ~uint64_t{0} - 1, {392, 4032, 8601, 13994, 19789}, ""},
        {"text-between:2", 62 * 62, 0, {}, "The quick brown fox 00 jumps over the lazy dog"},
        {"text-between:2", 62 * 62, 63, {}, "The quick brown fox 11 jumps over the lazy dog"},
        {"text-between:2", 62 * 62, 62 * 62 - 1, {}, "The quick brown fox zz jumps over the lazy dog"},
    };
    for (const auto& c : cases) {
        const indexed_keys keys = index_family(c.given, 7);
        EXPECT_EQ(keys.size, c.size) << c.given;
        std::vector<char> buffer(keys.longest), base(keys.longest);
        const std::string key(keys.key(c.index, buffer.data()));
        if (!c.bits.empty()) {
            const bool flips = std::string_view(c.given).substr(0, 5) == "flips";
            std::string expected(flips ? keys.key(0, base.data()) : std::string(keys.longest, '\0'));
            if (flips) expected[0] = static_cast<char>(expected[0] ^ 1);  // key 0 is the base with bit 0 flipped
            for (int bit : c.bits) expected[bit / 8] = static_cast<char>(expected[bit / 8] ^ (1 << (bit % 8)));
            EXPECT_EQ(key, expected) << c.given << " key " << c.index;
        } else {
            EXPECT_EQ(key.substr(0, c.text.size()), c.text) << c.given << " key " << c.index;
        }
    }
    for (const char* bad : {"counter:0", "counter:5000", "counter:1:300", "flips:2:17", "flips:2:65", "sparse:40000:2",
                            "sparse:64:65", "text-between:0", "text-first:65", "random:16", "counter:x", "counter"})
        EXPECT_THROW(index_family(bad, 1), bad_input) << bad;
}

TEST(OptionCounts, AsWritten) {
    const struct { const char* text; uint64_t count; } cases[] = {  // a count of 0: refused
                 {"12", 12}, {"2^32", uint64_t{1} << 32}, {"2^0", 1}, {"24Gi", uint64_t{24} << 30}, {"5G", 5'000'000'000},
                 {"3Ki", 3072}, {"2^64", 0}, {"1.5G", 0}, {"G", 0}, {"-1", 0}, {"", 0}, {"0", 0}, {"4Qi", 0},
                 {"99999999999999999999", 0}, {"20000000000T", 0},
                 {"18446744073709551615", ~uint64_t{0}}, {"18446744073709551616", 0}};
    for (const auto& c : cases) {
        if (c.count == 0) EXPECT_THROW(parse_count("--count", c.text), bad_input) << c.text;
        else EXPECT_EQ(parse_count("--count", c.text), c.count) << c.text;
    }
}

uint64_t low_half(const char* d, std::size_t n, uint64_t s) { return XXH64(d, n, s) & 0xFFFFFFFF; }
// 65,536 values spread over the whole 32-bit range: runs of three and more, in every part.
uint64_t narrow(const char* d, std::size_t n, uint64_t s) { return mix64(XXH64(d, n, s) & 0xFFFF) & 0xFFFFFFFF; }

// P(X <= k) and P(X >= k) for X ~ Poisson(mean), summed term by term.
double poisson_at_most(uint64_t k, double mean) {
    double term = std::exp(-mean), sum = 0;
    for (uint64_t i = 0; i <= k; ++i, term *= mean / static_cast<double>(i)) sum += term;
    return sum;
}

// The colliding pairs of two 32-bit hashes, counted in 1, 3 and 7 passes, against one sort of
// every value: the count, its p-values, and the keys of the smallest colliding values.
TEST(Collide, PassesCountAndNameWhatOneSortFinds) {
    const indexed_keys keys = index_family("counter:16", 3);
    const uint64_t count = 300'000;
    for (const auto& h : {runtime_hash("xxh64, low half", 32, low_half, "test"), runtime_hash("narrow", 32, narrow, "test")}) {
        std::vector<std::pair<uint64_t, uint64_t>> all;  // value, index
        std::vector<char> buffer(keys.longest + 1);
        for (uint64_t i = 0; i < count; ++i) {
            const std::string_view k = keys.key(i, buffer.data());
            all.emplace_back(h(k.data(), k.size(), 1), i);
        }
        std::sort(all.begin(), all.end());
        uint64_t pairs = 0, longest = 0;
        std::vector<std::pair<uint64_t, uint64_t>> runs;  // the colliding values and their run lengths, smallest first
        for (std::size_t i = 0, j; i < all.size(); i = j) {
            for (j = i; j < all.size() && all[j].first == all[i].first; ++j) {
            }
            pairs += (j - i) * (j - i - 1) / 2;
            longest = std::max<uint64_t>(longest, j - i);
            if (j - i > 1) runs.emplace_back(all[i].first, j - i);
        }
        ASSERT_GT(pairs, 0u) << h.name;
        if (h.name == "narrow") {
            ASSERT_GE(longest, 3u);
        }
        for (uint64_t passes : {1, 3, 7}) {
            const std::string what = h.name + ", " + std::to_string(passes) + " passes";
            uint64_t steps = 0;
            collide_hooks hooks;
            hooks.counted = [&](const collide_result&, uint64_t) { ++steps; };
            const collide_result r = lab::collide::collide(h, keys, count, passes, 1, 4, hooks);
            EXPECT_EQ(r.collisions, pairs) << what;
            EXPECT_EQ(steps, passes) << what;
            EXPECT_TRUE(r.complete) << what;
            uint64_t values = 0;
            for (const auto& p : r.done) values += p.values;
            EXPECT_EQ(values, count) << what;
            EXPECT_NEAR(r.expected, ideal_pairs(double(count), 32), 1e-9) << what;
            if (h.name != "narrow") {
                EXPECT_NEAR(std::exp2(r.log2_p_fewer), poisson_at_most(r.collisions, r.expected), 1e-9) << what;
                ASSERT_GT(r.collisions, 0u) << what;
                EXPECT_NEAR(std::exp2(r.log2_p_more), 1 - poisson_at_most(r.collisions - 1, r.expected), 1e-9) << what;
            }
            ASSERT_EQ(r.pairs.size(), std::min<std::size_t>(4, runs.size())) << what;
            for (std::size_t p = 0; p < r.pairs.size(); ++p) {
                const collide_pair& c = r.pairs[p];
                const auto first = std::lower_bound(all.begin(), all.end(), std::make_pair(c.value, uint64_t{0}));
                EXPECT_EQ(c.value, runs[p].first) << what;
                EXPECT_EQ(c.sharing, runs[p].second) << what;
                EXPECT_EQ(c.first, first->second) << what;
                EXPECT_EQ(c.second, (first + 1)->second) << what;
                EXPECT_EQ(h(c.first_key.data(), c.first_key.size(), 1), c.value) << what;
                EXPECT_EQ(h(c.second_key.data(), c.second_key.size(), 1), c.value) << what;
                EXPECT_NE(c.first_key, c.second_key) << what;
            }
        }
    }
}

// 2^20 values spread over the whole 64-bit range: pairs at every top width from 32 to 64 bits.
uint64_t narrow64(const char* d, std::size_t n, uint64_t s) { return mix64(XXH64(d, n, s) & 0xFFFFF); }

// The pairs equal in their top k bits, k = 32 to 63, from the sort that counts the full width,
// against a plain count per width, in 1 and 5 passes.
TEST(Collide, TopBitsCountWhatAPlainCountFinds) {
    const lab_hash h = runtime_hash("narrow64", 64, narrow64, "test");
    const indexed_keys keys = index_family("counter:16", 3);
    const uint64_t count = 300'000;
    std::vector<uint64_t> all;
    std::vector<char> buffer(keys.longest + 1);
    for (uint64_t i = 0; i < count; ++i) {
        const std::string_view k = keys.key(i, buffer.data());
        all.push_back(h(k.data(), k.size(), 1));
    }
    std::sort(all.begin(), all.end());
    for (uint64_t passes : {1, 5}) {
        const collide_result r = lab::collide::collide(h, keys, count, passes, 1, 0, {});
        ASSERT_EQ(r.top_bits.size(), 32u);
        for (int k = 32; k < 64; ++k) {
            uint64_t pairs = 0;
            for (std::size_t i = 0, j; i < all.size(); i = j) {
                for (j = i; j < all.size() && all[j] >> (64 - k) == all[i] >> (64 - k); ++j) {
                }
                pairs += (j - i) * (j - i - 1) / 2;
            }
            EXPECT_EQ(r.top_bits[k - 32].bits, k);
            EXPECT_EQ(r.top_bits[k - 32].collisions, pairs) << k << " bits, " << passes << " passes";
            EXPECT_NEAR(r.top_bits[k - 32].expected, ideal_pairs(double(count), k), 1e-9 * ideal_pairs(double(count), k));
        }
    }
}

// A hash that gives every key one value crowds one part: found by the sample before any pass,
// wherever that part lies, and never counted.
TEST(Collide, ACrowdedPartIsReportedBeforeAnyPass) {
    for (const auto& h : {runtime_hash("zero", 64, [](const char*, std::size_t, uint64_t) -> uint64_t { return 0; }, "test"),
                          runtime_hash("ones", 64, [](const char*, std::size_t, uint64_t) { return ~uint64_t{0}; }, "test")}) {
        uint64_t passes_started = 0;
        collide_hooks hooks;
        hooks.step = [&](const std::string& doing) { passes_started += doing.rfind("pass ", 0) == 0; };
        const collide_result r = lab::collide::collide(h, index_family("counter:8", 1), 1'000'000, 4, 1, 10, hooks);
        EXPECT_FALSE(r.crowded.empty()) << h.name;
        EXPECT_FALSE(r.complete) << h.name;
        EXPECT_TRUE(r.done.empty()) << h.name;
        EXPECT_EQ(passes_started, 0u) << h.name;
    }
}

}  // namespace
