// The built-in hashes, each a small inline call adapted to (data, length, seed), and the registry
// of them: one row per hash. Kept in a header so that each study can instantiate its own loops
// with every call inlined (the tables, one unit per table; the speed loop; hashing a key set); a
// hash added here is a call and a row.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include <farmhash.h>
#include <highwayhash/c_bindings.h>
#include <metrohash/metrohash64.h>

#include "core/hash_call.h"
#include "hashes.h"
#include "core/xxh3_dispatch.h"

extern "C" {
#include <murmurhash.h>
#include <wyhash/wyhash.h>
}

namespace lab {

namespace builtin {

// One call per algorithm, adapted to (data, length, seed). Calls that take no seed ignore it.
inline uint64_t fnv1a(const char* d, std::size_t n, uint64_t) { return fnv1a_hash(d, static_cast<uint32_t>(n)); }
inline uint64_t x31(const char* d, std::size_t, uint64_t) { return X31_hash_string(d); }
inline uint64_t ramakrishna(const char* d, std::size_t, uint64_t) { return HashRamakrishna(d); }
inline uint64_t fletcher(const char* d, std::size_t, uint64_t) { return fletcher32s(d); }
inline uint64_t one_at_a_time(const char* d, std::size_t, uint64_t) { return one_at_a_time_hash(d); }

// The text hashes' twins: the same steps over the key's length, so that the battery judges their
// mixing on keys that hold NUL bytes instead of their stopping at the first one.
inline uint64_t x31_len(const char* d, std::size_t n, uint64_t) {
    uint32_t h = 0;
    for (std::size_t i = 0; i < n; ++i) h = (h << 5) - h + sign_widened(d[i]);
    return h;
}
inline uint64_t ramakrishna_len(const char* d, std::size_t n, uint64_t) {
    uint32_t h = 0;
    for (std::size_t i = 0; i < n; ++i) h = (h << 5) + (h >> 2) + sign_widened(d[i]);
    return h;
}
inline uint64_t one_at_a_time_len(const char* d, std::size_t n, uint64_t) {
    uint32_t h = 0;
    for (std::size_t i = 0; i < n; ++i) {
        h += sign_widened(d[i]);
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}
inline uint64_t fletcher_len(const char* d, std::size_t n, uint64_t) {
    uint32_t sum1 = 0xFFFFu, sum2 = 0xFFFFu;
    while (n != 0) {
        std::size_t block = n < 359 ? n : 359;  // the fold points of fletcher32s
        n -= block;
        for (; block != 0; --block) {
            sum1 += sign_widened(*d++);
            sum2 += sum1;
        }
        sum1 = fletcher_fold(sum1);
        sum2 = fletcher_fold(sum2);
    }
    return (fletcher_fold(sum2) << 16) | fletcher_fold(sum1);
}
inline uint64_t lookup2(const char* d, std::size_t n, uint64_t s) {
    return lookup2_hash(d, static_cast<uint32_t>(n), static_cast<uint32_t>(s));
}
inline uint64_t xxh32(const char* d, std::size_t n, uint64_t s) { return XXH32(d, n, static_cast<uint32_t>(s)); }
inline uint64_t xxh64(const char* d, std::size_t n, uint64_t s) { return XXH64(d, n, s); }
// XXH3's scalar path for short keys inlined here; longer keys through the vector dispatcher.
inline uint64_t xxh3(const char* d, std::size_t n, uint64_t s) {
    return n <= xxh3_scalar_up_to ? XXH3_64bits_withSeed(d, n, s) : xxh3_best(d, n, s);
}
inline uint64_t xxh128_low(const char* d, std::size_t n, uint64_t s) {
    if (n <= xxh3_scalar_up_to) return XXH3_128bits_withSeed(d, n, s).low64;
    uint64_t low, high;
    xxh128_best(d, n, s, low, high);
    return low;
}
inline uint64_t xxh128_high(const char* d, std::size_t n, uint64_t s) {
    if (n <= xxh3_scalar_up_to) return XXH3_128bits_withSeed(d, n, s).high64;
    uint64_t low, high;
    xxh128_best(d, n, s, low, high);
    return high;
}
inline uint64_t wy(const char* d, std::size_t n, uint64_t s) { return wyhash(d, n, s, _wyp); }
inline uint64_t farm32(const char* d, std::size_t n, uint64_t) { return util::Hash32(d, n); }
inline uint64_t farm64(const char* d, std::size_t n, uint64_t) { return util::Hash64(d, n); }
inline uint64_t farm_fingerprint64(const char* d, std::size_t n, uint64_t) { return util::Fingerprint64(d, n); }
inline uint64_t metro64(const char* d, std::size_t n, uint64_t s) {
    uint8_t out[8];
    MetroHash64::Hash(reinterpret_cast<const uint8_t*>(d), n, out, s);
    uint64_t value;
    std::memcpy(&value, out, sizeof value);  // the library writes its state's bytes as they lie in memory
    return value;
}
// HighwayHash's key is four words; the lab uses its test vectors' key, 00 01 .. 1f, with the seed
// xored into the first word (at seed 0, the test vectors' own key).
inline uint64_t highway64(const char* d, std::size_t n, uint64_t s) {
    const uint64_t key[4] = {0x0706050403020100ull ^ s, 0x0F0E0D0C0B0A0908ull, 0x1716151413121110ull,
                             0x1F1E1D1C1B1A1918ull};
    return HighwayHash64(key, d, n);
}
inline uint64_t murmur3(const char* d, std::size_t n, uint64_t s) {
    uint32_t out[1];
    lmmh_x86_32(d, static_cast<unsigned>(n), static_cast<uint32_t>(s), out);
    return out[0];
}
// SipHash-2-4 and BLAKE2b are keyed by 16 bytes. The seed goes into the first 8, little-endian:
// at seed 0 SipHash's key is then 00 01 02 .. 0f, the one of the algorithm's test vectors.
inline uint64_t little_endian(const unsigned char* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}
inline uint64_t siphash(const char* d, std::size_t n, uint64_t s) {
    unsigned char key[crypto_shorthash_KEYBYTES] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 8; ++i) key[i] = static_cast<unsigned char>(key[i] ^ (s >> (8 * i)));
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(d), n, key);
    return little_endian(out);
}
// A cryptographic hash, keyed: the battery's stand-in for a random function.
inline uint64_t blake2b(const char* d, std::size_t n, uint64_t s) {
    unsigned char key[16] = {};
    for (int i = 0; i < 8; ++i) key[i] = static_cast<unsigned char>(s >> (8 * i));
    unsigned char out[8];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(d), n, key, sizeof key);
    return little_endian(out);
}
inline uint64_t std_hash(const char* d, std::size_t n, uint64_t) { return std::hash<std::string_view>{}({d, n}); }

// What sets a row apart beyond its call: where its seed comes from, whether it reads text, and
// how many bits of seed it takes.
struct kind {
    seeding seeds;
    bool stops_at_nul;
    int seed_bits;
};
inline constexpr kind counted{seeding::none, false, 0};        // reads the given length, takes no seed
inline constexpr kind seeded32{seeding::none, false, 32};      // reads the length, takes a 32-bit seed
inline constexpr kind seeded64{seeding::none, false, 64};
inline constexpr kind text{seeding::none, true, 0};            // stops at the first NUL
inline constexpr kind index_seeded{seeding::index, false, 0};  // as the fixed run seeds xxh32 and xxh64
inline constexpr kind chained{seeding::chained, false, 0};     // as the fixed run chains lookup2

struct row {
    const char* name;
    int width;
    hash_call call;
    kind k;
    uint64_t known_answer;
    const char* source;
    const char* note;
    // Among the cost study's default hashes: false for the battery's twins and the fixed run's seedings.
    bool table_default = true;
};

// Known answers, of known_answer_key at seed 0: fnv1a's, murmur3's, xxh32's, xxh64's and xxh128's
// are the algorithms' published values for this text (xxh128's as xxhsum -H2 prints it); the
// others are today's values, pinned, so that a row calling the wrong function fails the registry's
// test. Where a library publishes vectors of its own, the tests check those too.
inline constexpr row rows[] = {
    {.name = "fnv1a", .width = 32, .call = fnv1a, .k = counted, .known_answer = 0x48fff90, .source = "hashbench",
     .note = "32-bit FNV-1a over data and length"},
    {.name = "x31", .width = 32, .call = x31, .k = text, .known_answer = 0xdbacdd53, .source = "hashbench",
     .note = "h * 31 + byte, from 0"},
    {.name = "ramakrishna", .width = 32, .call = ramakrishna, .k = text, .known_answer = 0xd5b4df65,
     .source = "hashbench", .note = "shift-add-xor of Ramakrishna and Zobel"},
    {.name = "fletcher32s", .width = 32, .call = fletcher, .k = text, .known_answer = 0x5ba30fd9, .source = "hashbench",
     .note = "Fletcher-32 checksum over single bytes"},
    {.name = "one_at_a_time", .width = 32, .call = one_at_a_time, .k = text, .known_answer = 0x519e91f5,
     .source = "hashbench", .note = "Jenkins' one-at-a-time"},
    {.name = "x31/len", .width = 32, .call = x31_len, .k = counted, .known_answer = 0xdbacdd53, .source = "hashbench",
     .note = "x31 over the key's length, NUL bytes included", .table_default = false},
    {.name = "ramakrishna/len", .width = 32, .call = ramakrishna_len, .k = counted, .known_answer = 0xd5b4df65,
     .source = "hashbench", .note = "ramakrishna over the key's length", .table_default = false},
    {.name = "fletcher32s/len", .width = 32, .call = fletcher_len, .k = counted, .known_answer = 0x5ba30fd9,
     .source = "hashbench", .note = "fletcher32s over the key's length", .table_default = false},
    {.name = "one_at_a_time/len", .width = 32, .call = one_at_a_time_len, .k = counted, .known_answer = 0x519e91f5,
     .source = "hashbench", .note = "one_at_a_time over the key's length", .table_default = false},
    {.name = "lookup2", .width = 32, .call = lookup2, .k = seeded32, .known_answer = 0xfc1558de, .source = "hashbench",
     .note = "Jenkins' lookup2, initial value 0 (the seed)"},
    {.name = "xxh32", .width = 32, .call = xxh32, .k = seeded32, .known_answer = 0xe85ea4de, .source = "libxxhash-dev",
     .note = "XXH32, seed 0"},
    {.name = "xxh64", .width = 64, .call = xxh64, .k = seeded64, .known_answer = 0xb242d361fda71bc,
     .source = "libxxhash-dev", .note = "XXH64, seed 0"},
    {.name = "xxh32-index", .width = 32, .call = xxh32, .k = index_seeded, .known_answer = 0xe85ea4de,
     .source = "libxxhash-dev", .note = "XXH32 seeded with the key's index, as hashbench", .table_default = false},
    {.name = "xxh64-index", .width = 64, .call = xxh64, .k = index_seeded, .known_answer = 0xb242d361fda71bc,
     .source = "libxxhash-dev", .note = "XXH64 seeded with the key's index, as hashbench", .table_default = false},
    {.name = "lookup2-chained", .width = 32, .call = lookup2, .k = chained, .known_answer = 0xfc1558de,
     .source = "hashbench", .note = "lookup2 seeded with the previous key's hash, as hashbench",
     .table_default = false},
    {.name = "xxh3", .width = 64, .call = xxh3, .k = seeded64, .known_answer = 0xce7d19a5418fb365,
     .source = "libxxhash-dev",
     .note = "XXH3 64-bit, default secret, seed 0; keys over 240 bytes by the best vector path"},
    {.name = "xxh128-low", .width = 64, .call = xxh128_low, .k = seeded64, .known_answer = 0x24a1cc2e3a8a7651,
     .source = "libxxhash-dev", .note = "XXH3 128-bit, its low 64 bits, default secret; vector path as xxh3",
     .table_default = false},
    {.name = "xxh128-high", .width = 64, .call = xxh128_high, .k = seeded64, .known_answer = 0xddd650205ca3e7fa,
     .source = "libxxhash-dev", .note = "XXH3 128-bit, its high 64 bits, default secret; vector path as xxh3",
     .table_default = false},
    {.name = "farmhash32", .width = 32, .call = farm32, .k = counted, .known_answer = 0xdfe2a0b9,
     .source = "libfarmhash-dev", .note = "FarmHash's Hash32"},
    {.name = "farmhash64", .width = 64, .call = farm64, .k = counted, .known_answer = 0x6466f758d91acaa,
     .source = "libfarmhash-dev", .note = "FarmHash's Hash64"},
    {.name = "farm-fingerprint64", .width = 64, .call = farm_fingerprint64, .k = counted,
     .known_answer = 0xabbe83f33b1b5134, .source = "libfarmhash-dev",
     .note = "FarmHash's Fingerprint64 (the same on every platform)"},
    {.name = "highwayhash64", .width = 64, .call = highway64, .k = seeded64, .known_answer = 0xb3396196ccc174af,
     .source = "libhighwayhash-dev",
     .note = "HighwayHash 64-bit, key 00 01 .. 1f xor the seed, best path the processor has"},
    {.name = "metrohash64", .width = 64, .call = metro64, .k = seeded64, .known_answer = 0x9c3874191571b837,
     .source = "libmetrohash-dev", .note = "MetroHash64 (its Hash, seed 0)"},
    {.name = "wyhash", .width = 64, .call = wy, .k = seeded64, .known_answer = 0xf4028f6b9d91e00a,
     .source = "libwyhash-dev", .note = "wyhash final version, seed 0, default secret"},
    {.name = "murmur3", .width = 32, .call = murmur3, .k = seeded32, .known_answer = 0x2e4ff723,
     .source = "libmurmurhash-dev", .note = "MurmurHash3 x86 32-bit, seed 0"},
    {.name = "siphash", .width = 64, .call = siphash, .k = seeded64, .known_answer = 0x52276105dc1f6fe4,
     .source = "libsodium-dev", .note = "SipHash-2-4, key 00 01 .. 0f xor the seed"},
    {.name = "blake2b", .width = 64, .call = blake2b, .k = seeded64, .known_answer = 0xa586e138407d5374,
     .source = "libsodium-dev", .note = "keyed BLAKE2b, 8 bytes out, key: the seed; a random function",
     .table_default = false},
    {.name = "std", .width = 64, .call = std_hash, .k = counted, .known_answer = 0xdccbf2541704bc75,
     .source = "libstdc++", .note = "std::hash<std::string_view> of this build's library"},
};
inline constexpr std::size_t count = std::size(rows);
inline constexpr auto every = std::make_index_sequence<count>{};

}  // namespace builtin

}  // namespace lab
