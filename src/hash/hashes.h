// The hash functions under test and the hasher objects built on them.
//
// Everything here is inline and visible to the driver, so each timed loop expands the hash in
// place and measures the algorithm rather than a function call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// xxHash's documented header-only mode: XXH32 and XXH64 get inlined like our own hashes, and the
// Windows cross-build needs no xxHash library of its own.
#define XXH_INLINE_ALL
#include <xxhash.h>

// ---- Character-stream hashes -------------------------------------------------------------------

// These hashes come from code where char is signed, and their published values depend on it: a
// byte of 0x80 or above enters the arithmetic as 0xFFFFFF80..0xFFFFFFFF. Widen explicitly so the
// values are the same where char is unsigned.
inline uint32_t sign_widened(char byte) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(byte)));
}

// 32-bit FNV-1a over exactly `count` bytes; a NUL is hashed like any other byte.
inline uint32_t fnv1a_hash(const char* data, uint32_t count) {
    uint32_t h = 0x811C9DC5u;
    for (uint32_t k = 0; k < count; ++k) {
        h ^= sign_widened(data[k]);
        h *= 0x01000193u;
    }
    return h;
}

// h * 31 + byte, written as the shift-and-subtract the algorithm is known by.
inline uint32_t X31_hash_string(const char* text) {
    uint32_t h = 0;
    for (; *text != '\0'; ++text) h = (h << 5) - h + sign_widened(*text);
    return h;
}

inline uint32_t HashRamakrishna(const char* text) {
    uint32_t h = 0;
    for (; *text != '\0'; ++text) h = (h << 5) + (h >> 2) + sign_widened(*text);
    return h;
}

// Jenkins' one-at-a-time hash.
inline uint32_t one_at_a_time_hash(const char* text) {
    uint32_t h = 0;
    for (; *text != '\0'; ++text) {
        h += sign_widened(*text);
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

// ---- Fletcher-32 over single bytes --------------------------------------------------------------

inline uint32_t fletcher_fold(uint32_t sum) { return (sum & 0xFFFFu) + (sum >> 16); }

// Fletcher-32 run over bytes instead of 16-bit words. The block length of 359 is the word-based
// original's bound; it is kept because the fold points change the values.
inline uint32_t fletcher32s(const char* text) {
    std::size_t n = std::strlen(text);
    uint32_t sum1 = 0xFFFFu;
    uint32_t sum2 = 0xFFFFu;
    while (n != 0) {
        std::size_t block = n < 359 ? n : 359;
        n -= block;
        for (; block != 0; --block) {
            sum1 += sign_widened(*text++);
            sum2 += sum1;
        }
        sum1 = fletcher_fold(sum1);
        sum2 = fletcher_fold(sum2);
    }
    sum1 = fletcher_fold(sum1);
    sum2 = fletcher_fold(sum2);
    return (sum2 << 16) | sum1;
}

// ---- Jenkins' lookup2 with a chained initial value ----------------------------------------------

// Seed of the chained lookup2 uses: the per-key loop of the chained case and my_hash read it as
// the initial value and store each result back. The driver resets it between those two cases.
inline uint32_t hash_chain_value = 0;

inline void lookup2_mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= b; a -= c; a ^= c >> 13;
    b -= c; b -= a; b ^= a << 8;
    c -= a; c -= b; c ^= b >> 13;
    a -= b; a -= c; a ^= c >> 12;
    b -= c; b -= a; b ^= a << 16;
    c -= a; c -= b; c ^= b >> 5;
    a -= b; a -= c; a ^= c >> 3;
    b -= c; b -= a; b ^= a << 10;
    c -= a; c -= b; c ^= b >> 15;
}

// Bytes are read unsigned and words are assembled byte by byte, so the value does not depend on
// the host's byte order or on the key's alignment.
inline uint32_t lookup2_word(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Forced inline: with two callers (the chained case and my_hash) the compiler would otherwise keep
// one out-of-line copy and the timed loops would measure a call per key.
[[gnu::always_inline]] inline uint32_t lookup2_hash(const char* key, uint32_t length, uint32_t initval) {
    const auto* p = reinterpret_cast<const unsigned char*>(key);
    uint32_t a = 0x9e3779b9u;  // the golden ratio
    uint32_t b = 0x9e3779b9u;
    uint32_t c = initval;
    uint32_t r = length;
    for (; r > 11; p += 12, r -= 12) {
        a += lookup2_word(p);
        b += lookup2_word(p + 4);
        c += lookup2_word(p + 8);
        lookup2_mix(a, b, c);
    }
    c += length;
    // The lowest byte of c holds the length, so the tail's bytes 8..10 go in above it.
    switch (r) {
        case 11: c += uint32_t{p[10]} << 24; [[fallthrough]];
        case 10: c += uint32_t{p[9]} << 16;  [[fallthrough]];
        case 9:  c += uint32_t{p[8]} << 8;   [[fallthrough]];
        case 8:  b += uint32_t{p[7]} << 24;  [[fallthrough]];
        case 7:  b += uint32_t{p[6]} << 16;  [[fallthrough]];
        case 6:  b += uint32_t{p[5]} << 8;   [[fallthrough]];
        case 5:  b += p[4];                  [[fallthrough]];
        case 4:  a += uint32_t{p[3]} << 24;  [[fallthrough]];
        case 3:  a += uint32_t{p[2]} << 16;  [[fallthrough]];
        case 2:  a += uint32_t{p[1]} << 8;   [[fallthrough]];
        case 1:  a += p[0];                  [[fallthrough]];
        default: break;
    }
    lookup2_mix(a, b, c);
    return c;
}

// ---- Hasher objects for the string-keyed containers ---------------------------------------------
//
// Whether a container calls its hasher again when it grows is decided, in our standard library,
// by the call operator's noexcept: a noexcept hasher gets no stored hash codes, so every rehash
// hashes the stored keys again, as on the Windows target's library. my_hash must not work that
// way (see there).

// The Windows target's standard string hash, over the whole stored length.
struct fnv1a_hasher {
    std::size_t operator()(const std::string& key) const noexcept {
        return fnv1a_hash(key.data(), static_cast<uint32_t>(key.size()));
    }
};

// X31 over the character data: stops at the first NUL, unlike the stored length.
struct X31_hasher {
    std::size_t operator()(const std::string& key) const noexcept { return X31_hash_string(key.c_str()); }
};

// lookup2 chained through hash_chain_value, so the same key hashes differently on every call.
// Deliberately not noexcept: the container then stores each key's code when the key is inserted
// and never asks for it again, so its buckets stay consistent with the codes the keys went in
// under. Re-hashing stored keys would move them to buckets that no longer match, which the
// container's requirements leave undefined.
struct my_hash {
    std::size_t operator()(const std::string& key) const {
        hash_chain_value = lookup2_hash(key.data(), static_cast<uint32_t>(key.size()), hash_chain_value);
        return hash_chain_value;
    }
};
