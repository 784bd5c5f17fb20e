// The fixed run's hashes at every branch: every tail length, the edges of each block, bytes above
// 0x7F, a NUL inside the key. The values come from an implementation written apart from these.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hashes.h"

namespace {

std::string repeated(char c, std::size_t n) { return std::string(n, c); }

struct StreamRow {
    std::string text;
    uint32_t fnv1a, x31, ramakrishna, one_at_a_time;
};

TEST(CharacterStreamHashes, KnownValues) {
    const StreamRow rows[] = {
        {"", 0x811C9DC5, 0x00000000, 0x00000000, 0x00000000},
        {"0", 0x350CA8AF, 0x00000030, 0x00000030, 0x6E3C5C6B},
        {"a", 0xE40C292C, 0x00000061, 0x00000061, 0xCA2E9442},
        {"abc", 0x1A47E90B, 0x00017862, 0x000196C9, 0xED131F5B},
        {"4999999", 0xF04DA7F9, 0x23464694, 0x195C8BE9, 0xBF4A517D},
        // High bytes enter sign-extended; unsigned reading would give other values.
        {"\x80", 0x04F3B29F, 0xFFFFFF80, 0xFFFFFF80, 0xC31D4E27},
        {"a\xFF", 0xD3DB2E29, 0x00000BBE, 0x00000C37, 0xEFC67232},
        {std::string("a\0b", 3), 0x10F3ABD2, 0x00000061, 0x00000061, 0xCA2E9442},  // the text hashes stop at the NUL
        {repeated('7', 1000), 0xADD43C0D, 0x26785D80, 0x0BF4A2EB, 0x512DB263},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("text of length " + std::to_string(r.text.size()) + ": " + r.text.substr(0, 8));
        EXPECT_EQ(fnv1a_hash(r.text.data(), static_cast<uint32_t>(r.text.size())), r.fnv1a);
        EXPECT_EQ(X31_hash_string(r.text.c_str()), r.x31);
        EXPECT_EQ(HashRamakrishna(r.text.c_str()), r.ramakrishna);
        EXPECT_EQ(one_at_a_time_hash(r.text.c_str()), r.one_at_a_time);
        EXPECT_EQ(fnv1a_hasher{}(r.text), r.fnv1a);
        EXPECT_EQ(X31_hasher{}(r.text), r.x31);
    }
}

TEST(Fletcher32s, KnownValues) {
    const std::pair<std::string, uint32_t> rows[] = {
        {"", 0xFFFFFFFF},  // no block: both sums stay 0xFFFF, never reduced to 0
        {"0", 0x00300030},
        {"a", 0x00610061},
        {"abc", 0x024A0126},
        {"4999999", 0x0619018A},
        {"\x80", 0xFF7FFF7F},  // sign-extended; unsigned would be 0x00800080
        {"a\xFF", 0x00C10060},
        {repeated('7', 358), 0xEE484CEA},
        {repeated('7', 359), 0x3B6A4D21},  // exactly one block
        {repeated('7', 360), 0x88C24D58},  // 359 + 1, folded in between
        {repeated('7', 361), 0xD6514D8F},
        {repeated('7', 718), 0xA0879A42},  // two blocks
        {repeated('7', 719), 0x3B019A79},
        {repeated('7', 1000), 0x0AF0D6D8},
        {repeated('\xFF', 1000), 0x5CE4FC17},
        {repeated('\x80', 720), 0x0A0897FF},  // sums that overflow unless folded every 359 bytes
        {"120", 0x01270093},
        {"201", 0x01270093},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE("text of length " + std::to_string(text.size()));
        EXPECT_EQ(fletcher32s(text.c_str()), expected);
    }
}

struct Lookup2Row {
    std::string key;
    uint32_t initval, expected;
};

TEST(Lookup2, KnownValues) {
    const Lookup2Row rows[] = {
        {"", 0, 0xbd49d10d},
        {"0", 0, 0xf18a3536},
        {"ab", 0, 0x9879ac41},  // every length of the tail, 0 to 11 bytes
        {"abc", 0, 0x251e4793},
        {"abcd", 0, 0x5ae61fa5},
        {"abcde", 0, 0x03a96866},
        {"abcdef", 0, 0xde922732},
        {"4999999", 0, 0x15b4aac0},
        {"abcdefgh", 0, 0x053f775e},
        {"abcdefghi", 0, 0x3a7b0a5f},
        {"abcdefghij", 0, 0xc9cac242},
        {"hello world", 0, 0x1aa919e6},   // 11 bytes: no block, full tail
        {"hello world!", 0, 0x1eccb293},  // 12 bytes: one block, empty tail
        {"abcdefghijklm", 0, 0x3122b031},  // a block and a byte
        {"abcdefghijklmnopqrstuvw", 0, 0x68e5ff21},
        {"abcdefghijklmnopqrstuvwx", 0, 0xd6638b78},
        {"abcdefghijklmnopqrstuvwxy", 0, 0x720b6730},
        {"\xFF", 0, 0xcdca3f48},  // read unsigned, as 255
        {std::string("a\0b", 3), 0, 0x05adeec1},
        {"", 0xffffffff, 0xbb742e94},
        {"0", 0xf18a3536, 0x4540f115},
        {"1", 0xf18a3536, 0x22743858},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("key of length " + std::to_string(r.key.size()) + ", initval " + std::to_string(r.initval));
        EXPECT_EQ(lookup2_hash(r.key.data(), static_cast<uint32_t>(r.key.size()), r.initval), r.expected);
    }
}

// The chain through the shared word over many keys is checked where a container calls it; here,
// the whole stored key is hashed, a NUL inside it included.
TEST(MyHash, HashesTheWholeKeyIntoTheSharedWord) {
    hash_chain_value = 0;
    EXPECT_EQ(my_hash{}(std::string("a\0b", 3)), 0x05adeec1u);
    EXPECT_EQ(hash_chain_value, 0x05adeec1u);
    EXPECT_EQ(my_hash{}(std::string()), lookup2_hash("", 0, 0x05adeec1));
    hash_chain_value = 0;
}

}  // namespace
