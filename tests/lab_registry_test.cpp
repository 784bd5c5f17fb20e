// hashlab's registries, row by row: every hash against its known answer, every key family against
// its count and its first and last keys, the key-file parser, and the form of --keys arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include <metrohash/metrohash64.h>

#include "core/keys.h"
#include "core/lab_hashes.h"
#include "quality/quality.h"

using namespace lab;
using namespace lab::quality;

namespace {

// One test for every row: a row whose call is wired to another function, or whose inlined loop
// differs from its call, fails here without a test of its own.
TEST(HashRegistry, EveryRowGivesItsKnownAnswer) {
    key_set one;
    one.add(known_answer_key);
    std::set<std::string> names, left_out;
    for (const auto& h : builtin_hashes()) {
        EXPECT_EQ(h(known_answer_key, std::strlen(known_answer_key), 0), h.known_answer) << h.name;
        uint64_t value = 0;
        h.hash_all(h, one, &value);  // the first key's seed is 0 whatever the seeding
        EXPECT_EQ(value, h.known_answer) << h.name << " through its inlined loop";
        EXPECT_EQ(value & ~h.mask(), 0u) << h.name << " gives more bits than its width";
        EXPECT_TRUE(names.insert(h.name).second) << h.name << " is listed twice";
        if (!h.table_default) left_out.insert(h.name);
    }
    // The cost study's default leaves out the battery's twins, the halves of xxh128, the random
    // function and the fixed run's seedings: what a user would not put in a table.
    EXPECT_EQ(left_out, (std::set<std::string>{"x31/len", "ramakrishna/len", "fletcher32s/len", "one_at_a_time/len",
                                                "xxh32-index", "xxh64-index", "lookup2-chained", "xxh128-low",
                                                "xxh128-high", "blake2b"}));
}

// A text hash's twin reads the key's length: the same value where the key holds no NUL, and keys
// that differ only after a NUL told apart.
TEST(HashRegistry, TextHashTwinsReadTheWholeKey) {
    using namespace std::string_literals;
    int twins = 0;
    for (const auto& h : builtin_hashes()) {
        if (!h.stops_at_nul) continue;
        const lab_hash twin = select_hashes({h.name + "/len"}, {}).front();
        ++twins;
        for (const std::string& key : {""s, "a"s, "\xff\x80 text"s, std::string(1000, 'z')})
            EXPECT_EQ(twin(key.c_str(), key.size(), 0), h(key.c_str(), key.size(), 0)) << twin.name;
        const std::string a = "a\0b"s, b = "a\0c"s;
        EXPECT_EQ(h(a.c_str(), a.size(), 0), h(b.c_str(), b.size(), 0)) << h.name;
        EXPECT_NE(twin(a.c_str(), a.size(), 0), twin(b.c_str(), b.size(), 0)) << twin.name;
        EXPECT_FALSE(twin.stops_at_nul);
    }
    EXPECT_EQ(twins, 4);
}

// The libraries' own published vectors, through the lab's adapters.
TEST(HashRegistry, AdaptersGiveTheLibrariesPublishedVectors) {
    const auto hash = [](const char* name, const std::string& key, uint64_t seed) {
        const lab_hash h = select_hashes({name}, {}).front();
        return h(key.data(), key.size(), seed);
    };
    std::string counting(64, '\0');
    for (int i = 0; i < 64; ++i) counting[i] = static_cast<char>(i);
    struct vector_case { const char* hash; std::string key; uint64_t seed, value; };
    const vector_case cases[] = {
        {"siphash", "", 0, 0x726fdb47dd0e0e31ull},  // key 00..0f, the first reference vector
        {"murmur3", "", 0, 0},
        {"xxh64", "", 0, 0xEF46DB3751D8E999ull},
        {"xxh128-high", "", 0, 0x99aa06d3014798d8ull},  // xxhsum -H2 of nothing
        {"xxh128-low", "", 0, 0x6001c324468d497full},
        // HighwayHash's test vectors: key 00 01 .. 1f, the bytes 0, 1, .. n-1.
        {"highwayhash64", counting.substr(0, 0), 0, 0x907A56DE22C26E53ull},
        {"highwayhash64", counting.substr(0, 1), 0, 0x7EAB43AAC7CDDD78ull},
        {"highwayhash64", counting.substr(0, 2), 0, 0xB8D0569AB0B53D62ull},
    };
    for (const auto& c : cases) EXPECT_EQ(hash(c.hash, c.key, c.seed), c.value) << c.hash << " of " << c.key.size() << " bytes";
    // MetroHash's vectors come with the library: its test string under seeds 0 and 1.
    for (const auto& [seed, expected] : {std::pair{0, MetroHash64::test_seed_0}, std::pair{1, MetroHash64::test_seed_1}}) {
        uint64_t value;
        std::memcpy(&value, expected, sizeof value);
        EXPECT_EQ(hash("metrohash64", MetroHash64::test_string, seed), value) << "seed " << seed;
    }
}

uint64_t wide_value(const char*, std::size_t, uint64_t) { return ~uint64_t{0}; }

TEST(HashRegistry, APluginKeepsOnlyItsDeclaredWidth) {
    const lab_hash narrow = runtime_hash("narrow", 32, wide_value, "test");
    key_set keys = make_key_set("decimal:3", 1);
    uint64_t values[3];
    narrow.hash_all(narrow, keys, values);
    EXPECT_EQ(values[2], 0xFFFFFFFFu);
    EXPECT_EQ(narrow("a", 1, 0), 0xFFFFFFFFu);
}

// Every family's example: its count and bytes as its closed forms say, no key twice where the
// row says so, and where keys are computed from their index, the same keys in the same order.
TEST(KeyFamilies, EveryRowsExampleHoldsWhatItsRowSays) {
    for (const key_family& f : key_families()) {
        ASSERT_EQ(f.example.substr(0, f.example.find(':')), f.name) << "the example of " << f.name;
        family_args args;
        parse_family(f.example, args);
        const key_set keys = make_key_set(f.example, 5);
        ASSERT_GT(keys.size(), 1u) << f.example;
        uint64_t bytes = 0;
        std::set<std::string_view> distinct;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            bytes += keys.length(i);
            distinct.insert(keys.key(i));
        }
        if (f.distinct) {
            EXPECT_EQ(distinct.size(), keys.size()) << f.example << " repeats a key";
        }
        if (f.count != nullptr) {
            EXPECT_EQ(f.count(args), keys.size()) << f.example;
            EXPECT_GE(f.bytes(args), bytes) << f.example;
        }
        if (f.by_index == nullptr) continue;
        const indexed_keys indexed = index_family(f.example, 5);
        EXPECT_EQ(indexed.size, keys.size()) << f.example;
        std::string buffer(indexed.longest, '\0');
        for (std::size_t i = 0; i < keys.size(); ++i)
            ASSERT_EQ(indexed.key(i, buffer.data()), keys.key(i)) << f.example << " key " << i;
    }
}

// Random keys use every bit of every byte; UUIDs are version 4 texts.
TEST(KeyFamilies, RandomKeysAndUuids) {
    const key_set keys = make_key_set("random:16:4000", 3);
    uint64_t set_bits[8] = {}, bytes = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(keys.length(i), 16u);
        for (unsigned char c : keys.key(i)) {
            for (int b = 0; b < 8; ++b) set_bits[b] += (c >> b) & 1;
            ++bytes;
        }
    }
    // Each bit is set in half the bytes: 32,000 +- 179 (one standard deviation).
    for (int b = 0; b < 8; ++b) EXPECT_NEAR(double(set_bits[b]) / bytes, 0.5, 0.01) << "bit " << b;
    const key_set uuids = make_key_set("uuid:50", 7);
    for (std::size_t i = 0; i < uuids.size(); ++i) {  // 8-4-4-4-12 hex digits, version 4, variant 10
        const std::string_view u = uuids.key(i);
        EXPECT_TRUE(u.size() == 36 && u[8] == '-' && u[13] == '-' && u[18] == '-' && u[23] == '-' && u[14] == '4' &&
                    std::string_view("89ab").find(u[19]) != std::string_view::npos &&
                    u.find_first_not_of("0123456789abcdef-") == std::string_view::npos) << u;
    }
    // The seed decides the keys.
    EXPECT_EQ(make_key_set("random:3:1000", 9).key(5), make_key_set("random:3:1000", 9).key(5));
    EXPECT_NE(make_key_set("random:3:1000", 9).key(5), make_key_set("random:3:1000", 10).key(5));
}

// A family streamed key by key gives the keys it puts in the arena, in the same order.
TEST(KeyFamilies, StreamedKeysAreTheArenasKeys) {
    const key_set keys = make_key_set("decimal:12345", 1);
    std::size_t i = 0;
    bool same = true;
    for_each_key("decimal:12345", 1, [&](std::string_view key) {
        same = same && i < keys.size() && key == keys.key(i) && key.data()[key.size()] == '\0';
        ++i;
    });
    EXPECT_TRUE(same);
    EXPECT_EQ(i, keys.size());
    // A family whose keys may repeat cannot be streamed: its repeats would count as collisions.
    EXPECT_THROW(for_each_key("random:1:1000", 1, [](std::string_view) {}), bad_input);
}

TEST(KeyFamilies, MalformedArgumentsAreRefused) {
    struct bad { const char* given; const char* words; };
    const bad cases[] = {
        {"nope", "unknown key set 'nope'"},
        {"random", "unknown key set"},        // LEN is required
        {"words:5", "unknown key set"},       // words takes nothing
        {"uuid:1:2", "unknown key set"},      // one number too many
        {"decimal:", "malformed number ''"},
        {"uuid:12x", "malformed number '12x'"},
        {"decimal:0", "a size or length of 0"},
        {"random:0:5", "a size or length of 0"},
        {"random:64:99999999999999", "more than a key set holds"},
        {"random:5000000000:1", "its keys hold 5000000000 bytes in all, more than a key set holds"},
        {"sparse:16:17", "more bits set than the key has"},
        {"sparse:12:2", "BITS a multiple of 8"},
        {"two-bytes:0:4", "a size or length of 0"},
        {"two-bytes:5:4", "the first length is past the last"},
        {"blocks-low:5:3", "a block is 4 or 8 bytes"},
        {"cyclic:1:257", "give at most 256 different keys"},
        {"cyclic:2305843009213693952:5", "2^64 bytes or more"},  // 8 W bytes a key, past 2^64
        {"sparse:2048:9", "too many keys to count"},
        {"text-first:0", "a size or length of 0"},
    };
    for (const auto& c : cases) {
        try {
            make_key_set(c.given, 1);
            ADD_FAILURE() << c.given << " was accepted";
        } catch (const bad_input& e) {
            EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.given << ": " << e.what();
        }
    }
}

TEST(KeyFamilies, FileParser) {
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
}

// Two measures declaring the same field would overwrite each other's values in every row.
TEST(MeasureRegistry, EveryFieldOnce) {
    std::set<std::string> fields;
    for (const auto& c : quality_columns()) EXPECT_TRUE(fields.insert(c.field).second) << c.field;
}

}  // namespace
