// The structured key families, the patterns that break weak hashes: their generators, counts and rows.
#include "core/keys.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "core/bits.h"
#include "core/text.h"

namespace lab {

namespace {

// Each count is a closed form (a sum of binomial coefficients or powers), which the tests check
// against the keys generated.

// C(n, k), exactly while it fits; bad_input past 2^64, a set no run could hash anyway.
uint64_t choose(uint64_t n, uint64_t k, const std::string& given) {
    if (k > n) return 0;
    k = std::min(k, n - k);
    uint64_t c = 1;
    for (uint64_t i = 1; i <= k; ++i) {
        // c * (n - k + i) / i is a whole number; dividing first keeps the product in range.
        const uint64_t g = std::gcd(c, i), factor = (n - k + i) / (i / g);
        c /= g;
        if (c > std::numeric_limits<uint64_t>::max() / factor) throw bad_input("--keys " + given + ": too many keys to count");
        c *= factor;
    }
    return c;
}

uint64_t checked_sum(uint64_t a, uint64_t b, const std::string& given) {
    if (a > std::numeric_limits<uint64_t>::max() - b) throw bad_input("--keys " + given + ": too many keys to count");
    return a + b;
}

uint64_t checked_product(uint64_t a, uint64_t b, const std::string& given) {
    if (b != 0 && a > std::numeric_limits<uint64_t>::max() / b)
        throw bad_input("--keys " + given + ": too many keys to count");
    return a * b;
}

// zeroes:N: the all-zero keys of every length from 0 to N-1.
uint64_t zeroes_bytes(const family_args& a) { return last_number(a) * (last_number(a) - 1) / 2; }

void zeroes_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const std::string zeros(last_number(args), '\0');  // one more than the longest: its NUL
    for (uint64_t length = 0; length < last_number(args); ++length) sink(std::string_view(zeros.data(), length));
}

// sparse:BITS:K: every key of BITS bits (BITS / 8 bytes) with at most K bits set; bit i is bit
// i % 8 of byte i / 8. In order of the number of bits set, then of their positions.
uint64_t sparse_count(const family_args& a) {
    const uint64_t bits = nth(a, 0), most = nth(a, 1);
    if (bits % 8 != 0) throw bad_input("--keys " + a.given + ": a sparse key has a whole number of bytes (BITS a multiple of 8)");
    if (most > bits) throw bad_input("--keys " + a.given + ": more bits set than the key has");
    uint64_t n = 0;
    for (uint64_t k = 0; k <= most; ++k) n = checked_sum(n, choose(bits, k, a.given), a.given);
    return n;
}
uint64_t sparse_bytes(const family_args& a) { return checked_product(sparse_count(a), nth(a, 0) / 8, a.given); }

void sparse_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const uint64_t bits = nth(args, 0);
    std::string key(bits / 8 + 1, '\0');
    const std::string_view view(key.data(), bits / 8);
    std::vector<uint64_t> set;
    const auto flip = [&](uint64_t bit) { key[bit / 8] = static_cast<char>(key[bit / 8] ^ (1 << (bit % 8))); };
    for (uint64_t k = 0; k <= nth(args, 1); ++k) {
        // The combinations of k positions in lexicographic order, each first one 0, 1, .., k-1.
        set.resize(k);
        for (uint64_t i = 0; i < k; ++i) flip(set[i] = i);
        for (;;) {
            sink(view);
            std::size_t i = k;
            while (i > 0 && set[i - 1] == bits - k + i - 1) --i;
            if (i == 0) break;
            flip(set[i - 1]++);
            flip(set[i - 1]);
            for (std::size_t j = i; j < k; ++j) {
                flip(set[j]);
                flip(set[j] = set[j - 1] + 1);
            }
        }
        for (uint64_t b : set) flip(b);
    }
}

// two-bytes:FROM:TO: the keys of each length FROM..TO with one non-zero byte, then those with two.
uint64_t two_byte_count(const family_args& a) {
    if (nth(a, 0) > nth(a, 1)) throw bad_input("--keys " + a.given + ": the first length is past the last");
    uint64_t n = 0;
    for (uint64_t length = nth(a, 0); length <= nth(a, 1); ++length)
        n = checked_sum(n, checked_sum(length * 255, checked_product(choose(length, 2, a.given), 255 * 255, a.given), a.given),
                        a.given);
    return n;
}
uint64_t two_byte_bytes(const family_args& a) { return checked_product(two_byte_count(a), nth(a, 1), a.given); }

void two_byte_keys(const family_args& args, uint64_t, const key_sink& sink) {
    std::string key(nth(args, 1) + 1, '\0');
    for (uint64_t length = nth(args, 0); length <= nth(args, 1); ++length) {
        const std::string_view view(key.data(), length);
        for (uint64_t p = 0; p < length; ++p) {
            for (int v = 1; v < 256; ++v) {
                key[p] = static_cast<char>(v);
                sink(view);
            }
            key[p] = '\0';
        }
        for (uint64_t p = 0; p < length; ++p)
            for (uint64_t q = p + 1; q < length; ++q) {
                for (int v = 1; v < 256; ++v)
                    for (int w = 1; w < 256; ++w) {
                        key[p] = static_cast<char>(v);
                        key[q] = static_cast<char>(w);
                        sink(view);
                    }
                key[p] = key[q] = '\0';
            }
    }
}

// blocks-*:BLOCK:L: every sequence of 1 to L blocks of BLOCK bytes (4 or 8) drawn from a small set,
// little-endian: values 0..7 (low bits), the same in the top three bits (high bits), {0, the top
// bit}, {0, 1}. In order of the number of blocks, then as numbers in base (the set's size).
enum class block_set { low, high, top_bit, zero_one };

uint64_t block_value(block_set set, uint64_t index, uint64_t block_bits) {
    switch (set) {
        case block_set::low: return index;
        case block_set::high: return index << (block_bits - 3);
        case block_set::top_bit: return index << (block_bits - 1);
        case block_set::zero_one: return index;
    }
    return 0;
}
uint64_t block_count(block_set set) { return set == block_set::low || set == block_set::high ? 8 : 2; }

template <block_set Set>
uint64_t blocks_count(const family_args& a) {
    if (nth(a, 0) != 4 && nth(a, 0) != 8) throw bad_input("--keys " + a.given + ": a block is 4 or 8 bytes");
    uint64_t n = 0, power = 1;
    for (uint64_t k = 1; k <= nth(a, 1); ++k) n = checked_sum(n, power = checked_product(power, block_count(Set), a.given), a.given);
    return n;
}
template <block_set Set>
uint64_t blocks_bytes(const family_args& a) {
    return checked_product(blocks_count<Set>(a), checked_product(nth(a, 0), nth(a, 1), a.given), a.given);
}

template <block_set Set>
void blocks_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const uint64_t size = nth(args, 0), base = block_count(Set);
    std::string key(size * nth(args, 1) + 1, '\0');
    std::vector<uint64_t> digits;
    for (uint64_t k = 1; k <= nth(args, 1); ++k) {
        digits.assign(k, 0);
        std::fill(key.begin(), key.end(), '\0');
        for (;;) {
            sink(std::string_view(key.data(), k * size));
            std::size_t i = k;  // count in base `base`, the last block the fastest
            while (i > 0 && digits[i - 1] == base - 1) digits[--i] = 0;
            if (i == 0) break;
            ++digits[i - 1];
            for (std::size_t j = i - 1; j < k; ++j) {
                const uint64_t v = block_value(Set, digits[j], 8 * size);
                for (uint64_t b = 0; b < size; ++b) key[j * size + b] = static_cast<char>(v >> (8 * b));
            }
        }
    }
}

// cyclic:W[:N]: N keys, each one block of W bytes repeated 8 times. The block's first min(W, 8)
// bytes are a bijection of the key's index, so no two keys are alike; the rest are random.
uint64_t cyclic_count(const family_args& a) {
    const uint64_t unique_bits = 8 * std::min<uint64_t>(nth(a, 0), 8);
    if (unique_bits < 64 && last_number(a) > (uint64_t{1} << unique_bits))
        throw bad_input("--keys " + a.given + ": blocks of " + std::to_string(nth(a, 0)) + " bytes give at most " +
                        std::to_string(uint64_t{1} << unique_bits) + " different keys");
    return last_number(a);
}
uint64_t cyclic_bytes(const family_args& a) { return checked_product(cyclic_count(a), 8 * nth(a, 0), a.given); }

void cyclic_keys(const family_args& args, uint64_t seed, const key_sink& sink) {
    const uint64_t width = nth(args, 0), unique = std::min<uint64_t>(width, 8);
    std::mt19937_64 random(seed);
    std::string key(8 * width + 1, '\0');
    for (uint64_t i = 0; i < last_number(args); ++i) {
        const uint64_t head = scatter_bits(i, static_cast<int>(8 * unique), {0x9E3779B97F4A7C15ull, 0xBF58476D1CE4E5B9ull});
        for (uint64_t b = 0; b < width; ++b)
            key[b] = static_cast<char>(b < unique ? head >> (8 * b) : random());
        for (uint64_t copy = 1; copy < 8; ++copy) std::copy_n(key.begin(), width, key.begin() + copy * width);
        sink(std::string_view(key.data(), 8 * width));
    }
}

// coordinates:D:SIDE:BYTES: the points of a D-dimensional grid (D is 2 or 3), 0..SIDE-1 on each
// axis, each coordinate a little-endian integer of BYTES bytes (4 or 8), as tile and grid keys are;
// walked row by row, the first coordinate the fastest.
uint64_t coordinate_count(const family_args& a) {
    const uint64_t dimensions = nth(a, 0), side = nth(a, 1), bytes = nth(a, 2);
    if (dimensions != 2 && dimensions != 3) throw bad_input("--keys " + a.given + ": a grid of 2 or 3 dimensions");
    if (bytes != 4 && bytes != 8) throw bad_input("--keys " + a.given + ": coordinates of 4 or 8 bytes");
    if (side == 0) throw bad_input("--keys " + a.given + ": a grid needs a side of at least 1");
    if (bytes == 4 && side > (uint64_t{1} << 32)) throw bad_input("--keys " + a.given + ": 4-byte coordinates stop at 2^32");
    uint64_t n = 1;
    for (uint64_t d = 0; d < dimensions; ++d) n = checked_product(n, side, a.given);
    return n;
}
uint64_t coordinate_bytes(const family_args& a) {
    return checked_product(coordinate_count(a), nth(a, 0) * nth(a, 2), a.given);
}

void coordinate_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const uint64_t dimensions = nth(args, 0), side = nth(args, 1), bytes = nth(args, 2);
    std::string key(dimensions * bytes + 1, '\0');
    std::vector<uint64_t> point(dimensions, 0);
    for (;;) {
        for (uint64_t d = 0; d < dimensions; ++d)
            for (uint64_t b = 0; b < bytes; ++b) key[d * bytes + b] = static_cast<char>(point[d] >> (8 * b));
        sink(std::string_view(key.data(), dimensions * bytes));
        uint64_t d = 0;
        while (d < dimensions && ++point[d] == side) point[d++] = 0;
        if (d == dimensions) break;
    }
}

// text-*:C: a core of C letters and digits inside fixed text: between a prefix and a suffix,
// first (then the suffix) or last (after the prefix). Cores in order, the last character fastest.
constexpr std::string_view alphanumerics = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view text_prefix = "The quick brown fox ", text_suffix = " jumps over the lazy dog";

uint64_t text_count(const family_args& a) {
    uint64_t n = 1;
    for (uint64_t i = 0; i < nth(a, 0); ++i) n = checked_product(n, alphanumerics.size(), a.given);
    return n;
}

template <bool Prefix, bool Suffix>
uint64_t text_bytes(const family_args& a) {
    return checked_product(text_count(a), nth(a, 0) + (Prefix ? text_prefix.size() : 0) + (Suffix ? text_suffix.size() : 0),
                           a.given);
}

template <bool Prefix, bool Suffix>
void text_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const std::size_t core = nth(args, 0), at = Prefix ? text_prefix.size() : 0;
    const std::string key = std::string(Prefix ? text_prefix : "") + std::string(core, alphanumerics[0]) +
                            std::string(Suffix ? text_suffix : "");
    std::string k = key;
    std::vector<std::size_t> digits(core, 0);
    for (;;) {
        sink(k);
        std::size_t i = core;
        while (i > 0 && digits[i - 1] == alphanumerics.size() - 1) {
            digits[--i] = 0;
            k[at + i] = alphanumerics[0];
        }
        if (i == 0) break;
        k[at + i - 1] = alphanumerics[++digits[i - 1]];
    }
}

}  // namespace

std::vector<key_family> structured_families() {
    return {
        {"zeroes", {}, 200'000, false, true, "all-zero keys of every length from 0 to N-1", last_number, zeroes_bytes,
         zeroes_keys},
        {"sparse", {"BITS", "K"}, 0, false, true, "every key of BITS bits with at most K of them set", sparse_count,
         sparse_bytes, sparse_keys},
        {"two-bytes", {"FROM", "TO"}, 0, false, true, "keys of FROM to TO bytes with one or two non-zero bytes",
         two_byte_count, two_byte_bytes, two_byte_keys},
        {"blocks-low", {"BLOCK", "L"}, 0, false, true, "sequences of 1 to L blocks of BLOCK bytes, each 0 to 7",
         blocks_count<block_set::low>, blocks_bytes<block_set::low>, blocks_keys<block_set::low>},
        {"blocks-high", {"BLOCK", "L"}, 0, false, true, "the same with 0 to 7 in each block's top three bits",
         blocks_count<block_set::high>, blocks_bytes<block_set::high>, blocks_keys<block_set::high>},
        {"blocks-top-bit", {"BLOCK", "L"}, 0, false, true, "the same with blocks 0 and the top bit alone",
         blocks_count<block_set::top_bit>, blocks_bytes<block_set::top_bit>, blocks_keys<block_set::top_bit>},
        {"blocks-01", {"BLOCK", "L"}, 0, false, true, "the same with blocks 0 and 1", blocks_count<block_set::zero_one>,
         blocks_bytes<block_set::zero_one>, blocks_keys<block_set::zero_one>},
        {"cyclic", {"W"}, 1'000'000, false, true, "a block of W bytes (random, distinct) repeated 8 times",
         cyclic_count, cyclic_bytes, cyclic_keys},
        {"coordinates", {"D", "SIDE", "BYTES"}, 0, false, true,
         "the points of a D-dimensional grid (2 or 3), SIDE on each axis, as BYTES-byte integers (4 or 8)",
         coordinate_count, coordinate_bytes, coordinate_keys},
        {"text-between", {"C"}, 0, false, true, "\"The quick brown fox \" + C letters or digits + \" jumps over the lazy dog\"",
         text_count, text_bytes<true, true>, text_keys<true, true>},
        {"text-first", {"C"}, 0, false, true, "C letters or digits + \" jumps over the lazy dog\"", text_count,
         text_bytes<false, true>, text_keys<false, true>},
        {"text-last", {"C"}, 0, false, true, "\"The quick brown fox \" + C letters or digits", text_count,
         text_bytes<true, false>, text_keys<true, false>},
    };
}

}  // namespace lab
