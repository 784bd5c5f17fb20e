// The structured key families, the patterns that break weak hashes: their generators, counts and rows.
#include "core/keys.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>

#include "core/bits.h"
#include "core/text.h"

namespace lab {

namespace {

// Each count is a closed form (a sum of binomial coefficients or powers), which the tests check
// against the keys generated; past 2^64 it stops at `uncountable`.

// C(n, k), exactly below 2^64.
uint64_t choose(uint64_t n, uint64_t k) {
    if (k > n) return 0;
    k = std::min(k, n - k);
    uint64_t c = 1;
    for (uint64_t i = 1; i <= k; ++i) {
        // c * (n - k + i) / i is a whole number; dividing first keeps the product in range.
        const uint64_t g = std::gcd(c, i), factor = (n - k + i) / (i / g);
        c = capped_product(c / g, factor);
        if (c == uncountable) return c;
    }
    return c;
}

// C(m, j) for m = 0..n and j = 0..k as Pascal's sums, for finding the key of an index: sums
// capped at 2^127 - 1, so that any value below the cap is exact.
class binomials {
public:
    static constexpr uint128 cap = ~uint128{0} >> 1;
    binomials(std::size_t n, std::size_t k) : k_(k), table_((n + 1) * (k + 1), 0) {
        for (std::size_t m = 0; m <= n; ++m) {
            at(m, 0) = 1;
            for (std::size_t j = 1; j <= k && j <= m; ++j) at(m, j) = std::min(cap, at(m - 1, j - 1) + at(m - 1, j));
        }
    }
    uint128 operator()(std::size_t m, std::size_t j) const { return table_[m * (k_ + 1) + j]; }

private:
    uint128& at(std::size_t m, std::size_t j) { return table_[m * (k_ + 1) + j]; }
    std::size_t k_;
    std::vector<uint128> table_;
};

uint64_t capped_count(uint128 n) { return n >= uncountable ? uncountable : static_cast<uint64_t>(n); }

// `length` random bytes following the seed: the part of a key its index leaves alone.
std::string random_base(std::size_t length, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string base(length, '\0');
    for (char& b : base) b = static_cast<char>(random());
    return base;
}

// A family's keys made in order from its index form, for the families that have no faster way.
template <indexed_keys (*ByIndex)(const family_args&, uint64_t), uint64_t (*Count)(const family_args&)>
void keys_by_index(const family_args& args, uint64_t seed, const key_sink& sink) {
    const indexed_keys keys = ByIndex(args, seed);
    std::string buffer(keys.longest + 1, '\0');
    for (uint64_t i = 0, n = Count(args); i < n; ++i) sink(keys.key(i, buffer.data()));
}

// zeroes:N: the all-zero keys of every length from 0 to N-1.
uint64_t zeroes_bytes(const family_args& a) {
    const uint64_t n = last_number(a);
    return n % 2 == 0 ? capped_product(n / 2, n - 1) : capped_product(n, (n - 1) / 2);
}

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
    for (uint64_t k = 0; k <= most && n != uncountable; ++k) n = capped_sum(n, choose(bits, k));
    return n;
}
uint64_t sparse_bytes(const family_args& a) { return capped_product(sparse_count(a), nth(a, 0) / 8); }

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

// The same keys from their index. The index is unranked to a number of bits set, then to a
// combination in lexicographic order, a position at a time: the combinations of j positions
// among the m still free that skip the first t of them number C(m, j) - C(m - t, j).
constexpr uint64_t most_indexed_bits = 8 * 4096, most_indexed_set = 64;

indexed_keys sparse_by_index(const family_args& args, uint64_t) {
    const uint64_t bits = nth(args, 0), most = nth(args, 1);
    if (bits > most_indexed_bits || most > most_indexed_set)
        throw bad_input("--keys " + args.given +
                        ": sparse keys are computed from their index up to 32,768 bits with at most 64 set");
    const auto c = std::make_shared<const binomials>(bits, most);
    std::vector<uint128> before = {0};  // keys with fewer than k bits set
    for (uint64_t k = 0; k <= most; ++k) before.push_back(std::min(binomials::cap, before.back() + (*c)(bits, k)));
    indexed_keys keys;
    keys.size = capped_count(before.back());
    keys.longest = bits / 8;
    keys.key = [c, before, bits](uint64_t i, char* buffer) {
        std::fill_n(buffer, bits / 8, '\0');
        std::size_t j = 0;
        while (before[j + 1] <= i) ++j;
        uint128 rank = i - before[j];
        for (uint64_t next = 0; j > 0; --j) {
            const uint64_t m = bits - next;
            // Past the cap C(m - 1, j - 1), the keys taking the first free position, is over 2^64:
            // the rank, below 2^64, is among them.
            uint64_t t = 0;
            if ((*c)(m, j) < binomials::cap) {
                for (uint64_t high = m - j; t < high;) {
                    const uint64_t mid = (t + high + 1) / 2;
                    if ((*c)(m, j) - (*c)(m - mid, j) <= rank) t = mid;
                    else high = mid - 1;
                }
                rank -= (*c)(m, j) - (*c)(m - t, j);
            }
            next += t;
            buffer[next / 8] = static_cast<char>(buffer[next / 8] | (1 << (next % 8)));
            ++next;
        }
        return std::string_view(buffer, bits / 8);
    };
    return keys;
}

// flips:LEN:K: a random LEN-byte key (from the seed) with 1 to K of its bits flipped, keys a low
// Hamming distance apart from a base that is not zero. The index is unranked to a number of bits,
// then to a combination in the combinatorial number system, the largest position first.
uint64_t flips_count(const family_args& a) {
    const uint64_t length = nth(a, 0), most = nth(a, 1);
    if (length > 4096 || most > 64 || most > 8 * length)
        throw bad_input("--keys " + a.given +
                        ": flips:LEN:K, LEN from 1 to 4,096 bytes, K from 1 to 64 and at most 8 LEN");
    uint64_t n = 0;
    for (uint64_t k = 1; k <= most && n != uncountable; ++k) n = capped_sum(n, choose(8 * length, k));
    return n;
}
uint64_t flips_bytes(const family_args& a) { return capped_product(flips_count(a), nth(a, 0)); }

indexed_keys flips_by_index(const family_args& args, uint64_t seed) {
    const uint64_t size = flips_count(args), length = nth(args, 0), most = nth(args, 1), bits = 8 * length;
    const auto c = std::make_shared<const binomials>(bits, most);
    std::vector<uint128> before = {0};  // keys with fewer than k + 1 bits flipped
    for (uint64_t k = 1; k <= most; ++k) before.push_back(std::min(binomials::cap, before.back() + (*c)(bits, k)));
    const std::string base = random_base(length, seed);
    indexed_keys keys;
    keys.size = size;
    keys.longest = length;
    keys.key = [c, before, base, bits](uint64_t i, char* buffer) {
        std::copy(base.begin(), base.end(), buffer);
        std::size_t k = 1;
        while (before[k] <= i) ++k;
        uint128 rank = i - before[k - 1];
        for (std::size_t top = bits; k > 0; --k) {
            std::size_t low = k - 1, high = top - 1;  // C(low, k) <= rank < C(top, k)
            while (low < high) {
                const std::size_t mid = (low + high + 1) / 2;
                if ((*c)(mid, k) <= rank) low = mid;
                else high = mid - 1;
            }
            rank -= (*c)(low, k);
            buffer[low / 8] = static_cast<char>(buffer[low / 8] ^ (1 << (low % 8)));
            top = low;
        }
        return std::string_view(buffer, base.size());
    };
    return keys;
}

// counter:LEN[:N]: LEN bytes, the index little-endian in the first min(8, LEN), the rest a random
// filler chosen by the seed; without N, every one of them.
uint64_t counter_extent(const family_args& a) {
    if (nth(a, 0) > 4096) throw bad_input("--keys " + a.given + ": counter keys of 1 to 4,096 bytes");
    return nth(a, 0) >= 8 ? uncountable : uint64_t{1} << (8 * nth(a, 0));
}
uint64_t counter_count(const family_args& a) {
    const uint64_t extent = counter_extent(a);
    if (last_number(a) == uncountable) return extent;
    if (last_number(a) > extent)
        throw bad_input("--keys " + a.given + ": counter keys of " + std::to_string(nth(a, 0)) + " bytes number " +
                        with_commas(extent));
    return last_number(a);
}
uint64_t counter_bytes(const family_args& a) { return capped_product(counter_count(a), nth(a, 0)); }

indexed_keys counter_by_index(const family_args& args, uint64_t seed) {
    const std::string base = random_base(nth(args, 0), seed);
    indexed_keys keys;
    keys.size = counter_count(args);
    keys.longest = base.size();
    keys.counter = true;
    keys.key = [base](uint64_t i, char* buffer) {
        std::copy(base.begin(), base.end(), buffer);
        for (std::size_t b = 0; b < 8 && b < base.size(); ++b) buffer[b] = static_cast<char>(i >> (8 * b));
        return std::string_view(buffer, base.size());
    };
    return keys;
}

// two-bytes:FROM:TO: the keys of each length FROM..TO with one non-zero byte, then those with two.
uint64_t two_byte_count(const family_args& a) {
    if (nth(a, 0) > nth(a, 1)) throw bad_input("--keys " + a.given + ": the first length is past the last");
    uint64_t n = 0;
    for (uint64_t length = nth(a, 0); length <= nth(a, 1) && n != uncountable; ++length)
        n = capped_sum(n, capped_sum(capped_product(length, 255), capped_product(choose(length, 2), 255 * 255)));
    return n;
}
uint64_t two_byte_bytes(const family_args& a) { return capped_product(two_byte_count(a), nth(a, 1)); }

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
    for (uint64_t k = 1; k <= nth(a, 1) && n != uncountable; ++k) n = capped_sum(n, power = capped_product(power, block_count(Set)));
    return n;
}
template <block_set Set>
uint64_t blocks_bytes(const family_args& a) {
    return capped_product(blocks_count<Set>(a), capped_product(nth(a, 0), nth(a, 1)));
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
uint64_t cyclic_bytes(const family_args& a) { return capped_product(cyclic_count(a), capped_product(8, nth(a, 0))); }

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
    for (uint64_t d = 0; d < dimensions; ++d) n = capped_product(n, side);
    return n;
}
uint64_t coordinate_bytes(const family_args& a) {
    return capped_product(coordinate_count(a), nth(a, 0) * nth(a, 2));
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
    for (uint64_t i = 0; i < nth(a, 0) && n != uncountable; ++i) n = capped_product(n, alphanumerics.size());
    return n;
}

template <bool Prefix, bool Suffix>
uint64_t text_bytes(const family_args& a) {
    return capped_product(text_count(a), nth(a, 0) + (Prefix ? text_prefix.size() : 0) + (Suffix ? text_suffix.size() : 0));
}

// The first key, the core all zeros, and where its core starts.
template <bool Prefix, bool Suffix>
std::string text_base(std::size_t core) {
    return std::string(Prefix ? text_prefix : "") + std::string(core, alphanumerics[0]) +
           std::string(Suffix ? text_suffix : "");
}
template <bool Prefix>
constexpr std::size_t core_at = Prefix ? text_prefix.size() : 0;

template <bool Prefix, bool Suffix>
void text_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const std::size_t core = nth(args, 0), at = core_at<Prefix>;
    std::string k = text_base<Prefix, Suffix>(core);
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

template <bool Prefix, bool Suffix>
indexed_keys text_by_index(const family_args& args, uint64_t) {
    constexpr std::size_t at = core_at<Prefix>;
    const std::size_t core = nth(args, 0);
    if (core > 64)
        throw bad_input("--keys " + args.given + ": text keys are computed from their index for a core of 1 to 64 characters");
    const std::string base = text_base<Prefix, Suffix>(core);
    indexed_keys keys;
    keys.size = text_count(args);
    keys.longest = base.size();
    keys.key = [base, core](uint64_t i, char* buffer) {
        std::copy(base.begin(), base.end(), buffer);
        for (std::size_t d = at + core; d-- > at; i /= alphanumerics.size())
            buffer[d] = alphanumerics[i % alphanumerics.size()];
        return std::string_view(buffer, base.size());
    };
    return keys;
}

// The rows of families that differ only in a template's argument.
template <block_set Set>
key_family blocks_family(const char* name, const char* note, const char* example) {
    return {.name = name, .parameters = {"BLOCK", "L"}, .distinct = true, .note = note, .example = example,
            .count = blocks_count<Set>, .bytes = blocks_bytes<Set>, .generate = blocks_keys<Set>};
}
template <bool Prefix, bool Suffix>
key_family text_family(const char* name, const char* note, const char* example) {
    return {.name = name, .parameters = {"C"}, .distinct = true, .note = note, .example = example, .count = text_count,
            .bytes = text_bytes<Prefix, Suffix>, .generate = text_keys<Prefix, Suffix>,
            .by_index = text_by_index<Prefix, Suffix>};
}

}  // namespace

std::vector<key_family> structured_families() {
    return {
        {.name = "zeroes", .default_count = 200'000, .distinct = true, .note = "all-zero keys of every length from 0 to N-1",
         .example = "zeroes:300", .count = last_number, .bytes = zeroes_bytes, .generate = zeroes_keys},
        {.name = "sparse", .parameters = {"BITS", "K"}, .distinct = true,
         .note = "every key of BITS bits with at most K of them set",
         .example = "sparse:16:3", .count = sparse_count, .bytes = sparse_bytes, .generate = sparse_keys,
         .by_index = sparse_by_index},
        {.name = "flips", .parameters = {"LEN", "K"}, .distinct = true,
         .note = "a random LEN-byte key (following --seed) with 1 to K of its bits flipped", .example = "flips:2:2",
         .count = flips_count, .bytes = flips_bytes, .generate = keys_by_index<flips_by_index, flips_count>,
         .by_index = flips_by_index},
        {.name = "counter", .parameters = {"LEN"}, .default_count = uncountable, .distinct = true,
         .note = "LEN bytes, the index little-endian in the first 8 and the rest random (following --seed); "
                 "without N, every one",
         .example = "counter:2:300", .count = counter_count, .bytes = counter_bytes,
         .generate = keys_by_index<counter_by_index, counter_count>, .by_index = counter_by_index},
        {.name = "two-bytes", .parameters = {"FROM", "TO"}, .distinct = true,
         .note = "keys of FROM to TO bytes with one or two non-zero bytes", .example = "two-bytes:1:4",
         .count = two_byte_count, .bytes = two_byte_bytes, .generate = two_byte_keys},
        blocks_family<block_set::low>("blocks-low", "sequences of 1 to L blocks of BLOCK bytes, each 0 to 7",
                                      "blocks-low:4:3"),
        blocks_family<block_set::high>("blocks-high", "the same with 0 to 7 in each block's top three bits",
                                       "blocks-high:4:2"),
        blocks_family<block_set::top_bit>("blocks-top-bit", "the same with blocks 0 and the top bit alone",
                                          "blocks-top-bit:8:3"),
        blocks_family<block_set::zero_one>("blocks-01", "the same with blocks 0 and 1", "blocks-01:4:10"),
        {.name = "cyclic", .parameters = {"W"}, .default_count = 1'000'000, .distinct = true,
         .note = "a block of W bytes (random, distinct) repeated 8 times", .example = "cyclic:3:5000", .count = cyclic_count,
         .bytes = cyclic_bytes, .generate = cyclic_keys},
        {.name = "coordinates", .parameters = {"D", "SIDE", "BYTES"}, .distinct = true,
         .note = "the points of a D-dimensional grid (2 or 3), SIDE on each axis, as BYTES-byte integers (4 or 8)",
         .example = "coordinates:3:2:8", .count = coordinate_count, .bytes = coordinate_bytes, .generate = coordinate_keys},
        text_family<true, true>("text-between", "\"The quick brown fox \" + C letters or digits + \" jumps over the lazy dog\"",
                                "text-between:2"),
        text_family<false, true>("text-first", "C letters or digits + \" jumps over the lazy dog\"", "text-first:1"),
        text_family<true, false>("text-last", "\"The quick brown fox \" + C letters or digits", "text-last:2"),
    };
}

}  // namespace lab
