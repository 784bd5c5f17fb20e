#include "lab_hashes.h"

#include <dlfcn.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "hashes.h"
#include "table_runs.h"
#include "xxh3_dispatch.h"

#include <farmhash.h>
#include <highwayhash/c_bindings.h>
#include <metrohash/metrohash64.h>

extern "C" {
#include <murmurhash.h>
#include <wyhash/wyhash.h>
}

namespace {

// One call per algorithm, adapted to (data, length, seed). Calls that take no seed ignore it.
uint64_t fnv1a(const char* d, std::size_t n, uint64_t) { return fnv1a_hash(d, static_cast<uint32_t>(n)); }
uint64_t x31(const char* d, std::size_t, uint64_t) { return X31_hash_string(d); }
uint64_t ramakrishna(const char* d, std::size_t, uint64_t) { return HashRamakrishna(d); }
uint64_t fletcher(const char* d, std::size_t, uint64_t) { return fletcher32s(d); }
uint64_t one_at_a_time(const char* d, std::size_t, uint64_t) { return one_at_a_time_hash(d); }

// The text hashes' twins: the same steps over the key's length, so that the battery judges their
// mixing on keys that hold NUL bytes instead of their stopping at the first one.
uint64_t x31_len(const char* d, std::size_t n, uint64_t) {
    uint32_t h = 0;
    for (std::size_t i = 0; i < n; ++i) h = (h << 5) - h + sign_widened(d[i]);
    return h;
}
uint64_t ramakrishna_len(const char* d, std::size_t n, uint64_t) {
    uint32_t h = 0;
    for (std::size_t i = 0; i < n; ++i) h = (h << 5) + (h >> 2) + sign_widened(d[i]);
    return h;
}
uint64_t one_at_a_time_len(const char* d, std::size_t n, uint64_t) {
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
uint64_t fletcher_len(const char* d, std::size_t n, uint64_t) {
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
uint64_t lookup2(const char* d, std::size_t n, uint64_t s) {
    return lookup2_hash(d, static_cast<uint32_t>(n), static_cast<uint32_t>(s));
}
uint64_t xxh32(const char* d, std::size_t n, uint64_t s) { return XXH32(d, n, static_cast<uint32_t>(s)); }
uint64_t xxh64(const char* d, std::size_t n, uint64_t s) { return XXH64(d, n, s); }
uint64_t xxh3(const char* d, std::size_t n, uint64_t s) { return xxh3_best(d, n, s); }
uint64_t xxh128_low(const char* d, std::size_t n, uint64_t s) {
    uint64_t low, high;
    xxh128_best(d, n, s, low, high);
    return low;
}
uint64_t xxh128_high(const char* d, std::size_t n, uint64_t s) {
    uint64_t low, high;
    xxh128_best(d, n, s, low, high);
    return high;
}
uint64_t wy(const char* d, std::size_t n, uint64_t s) { return wyhash(d, n, s, _wyp); }
uint64_t farm32(const char* d, std::size_t n, uint64_t) { return util::Hash32(d, n); }
uint64_t farm64(const char* d, std::size_t n, uint64_t) { return util::Hash64(d, n); }
uint64_t farm_fingerprint64(const char* d, std::size_t n, uint64_t) { return util::Fingerprint64(d, n); }
uint64_t metro64(const char* d, std::size_t n, uint64_t s) {
    uint8_t out[8];
    MetroHash64::Hash(reinterpret_cast<const uint8_t*>(d), n, out, s);
    uint64_t value;
    std::memcpy(&value, out, sizeof value);  // the library writes its state's bytes as they lie in memory
    return value;
}
// HighwayHash's key is four words; the lab uses its test vectors' key, 00 01 .. 1f, with the seed
// xored into the first word (at seed 0, the test vectors' own key).
uint64_t highway64(const char* d, std::size_t n, uint64_t s) {
    const uint64_t key[4] = {0x0706050403020100ull ^ s, 0x0F0E0D0C0B0A0908ull, 0x1716151413121110ull,
                             0x1F1E1D1C1B1A1918ull};
    return HighwayHash64(key, d, n);
}
uint64_t murmur3(const char* d, std::size_t n, uint64_t s) {
    uint32_t out[1];
    lmmh_x86_32(d, static_cast<unsigned>(n), static_cast<uint32_t>(s), out);
    return out[0];
}
// SipHash-2-4 and BLAKE2b are keyed by 16 bytes. The seed goes into the first 8, little-endian:
// at seed 0 SipHash's key is then 00 01 02 .. 0f, the one of the algorithm's test vectors.
uint64_t little_endian(const unsigned char* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}
uint64_t siphash(const char* d, std::size_t n, uint64_t s) {
    unsigned char key[crypto_shorthash_KEYBYTES] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 8; ++i) key[i] = static_cast<unsigned char>(key[i] ^ (s >> (8 * i)));
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(d), n, key);
    return little_endian(out);
}
// A cryptographic hash, keyed: the battery's stand-in for a random function.
uint64_t blake2b(const char* d, std::size_t n, uint64_t s) {
    unsigned char key[16] = {};
    for (int i = 0; i < 8; ++i) key[i] = static_cast<unsigned char>(s >> (8 * i));
    unsigned char out[8];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(d), n, key, sizeof key);
    return little_endian(out);
}
uint64_t std_hash(const char* d, std::size_t n, uint64_t) { return std::hash<std::string_view>{}({d, n}); }

template <class Call>
void hash_keys(Call call, seeding seeds, const key_set& keys, uint64_t* out) {
    const std::size_t n = keys.size();
    switch (seeds) {
        case seeding::none:
            for (std::size_t i = 0; i < n; ++i) out[i] = call(keys.data(i), keys.length(i), 0);
            break;
        case seeding::index:
            for (std::size_t i = 0; i < n; ++i) out[i] = call(keys.data(i), keys.length(i), i);
            break;
        case seeding::chained: {
            uint64_t previous = 0;
            for (std::size_t i = 0; i < n; ++i) out[i] = previous = call(keys.data(i), keys.length(i), previous);
            break;
        }
    }
}

// A table's hasher calls a built-in hash inlined, a runtime one through its pointer and mask.
template <hash_call F>
struct inline_call {
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return F(data, length, seed); }
};

struct pointer_call {
    const lab_hash* hash;
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return (*hash)(data, length, seed); }
};

template <hash_call F>
table_run run_inline(const lab_hash&, table_id table, const study_keys& keys, std::chrono::steady_clock::duration budget) {
    return table_runs::run_in_table(table, inline_call<F>{}, keys, budget);
}

table_run run_through_pointer(const lab_hash& h, table_id table, const study_keys& keys,
                              std::chrono::steady_clock::duration budget) {
    return table_runs::run_in_table(table, pointer_call{&h}, keys, budget);
}

template <hash_call F>
uint64_t speed_inline(const lab_hash&, const speed_input& in) { return run_speed(F, in); }

uint64_t speed_through_pointer(const lab_hash& h, const speed_input& in) { return run_speed(pointer_call{&h}, in); }

template <hash_call F>
void hash_all_inline(const lab_hash& h, const key_set& keys, uint64_t* out) { hash_keys(F, h.seeds, keys, out); }

// A runtime hash returns 64 bits, of which its row keeps the low `width`.
void hash_all_through_pointer(const lab_hash& h, const key_set& keys, uint64_t* out) {
    hash_keys([&h](const char* data, std::size_t length, uint64_t seed) { return h(data, length, seed); }, h.seeds,
              keys, out);
}

// What sets a row apart beyond its call: where its seed comes from, whether it reads text, and
// how many bits of seed it takes.
struct kind {
    seeding seeds;
    bool stops_at_nul;
    int seed_bits;
};
constexpr kind counted{seeding::none, false, 0};        // reads the given length, takes no seed
constexpr kind seeded32{seeding::none, false, 32};      // reads the length, takes a 32-bit seed
constexpr kind seeded64{seeding::none, false, 64};
constexpr kind text{seeding::none, true, 0};            // stops at the first NUL
constexpr kind index_seeded{seeding::index, false, 0};  // as the fixed run seeds xxh32 and xxh64
constexpr kind chained{seeding::chained, false, 0};     // as the fixed run chains lookup2

template <hash_call F>
lab_hash row(const char* name, int width, kind k, uint64_t known_answer, const char* source, const char* note) {
    return {name, width, F, k.seeds, k.stops_at_nul, k.seed_bits, source, note, known_answer, hash_all_inline<F>,
            run_inline<F>, speed_inline<F>};
}

}  // namespace

const std::vector<lab_hash>& builtin_hashes() {
    // Known answers, of known_answer_key at seed 0: fnv1a's, murmur3's, xxh32's, xxh64's and
    // xxh128's are the algorithms' published values for this text (xxh128's as xxhsum -H2 prints
    // it); the others are today's values, pinned, so that a row calling the wrong function fails
    // the registry's test. Where a library publishes vectors of its own, the tests check those too.
    static const std::vector<lab_hash> table = {
        row<fnv1a>("fnv1a", 32, counted, 0x48fff90, "hashbench", "32-bit FNV-1a over data and length"),
        row<x31>("x31", 32, text, 0xdbacdd53, "hashbench", "h * 31 + byte, from 0"),
        row<ramakrishna>("ramakrishna", 32, text, 0xd5b4df65, "hashbench", "shift-add-xor of Ramakrishna and Zobel"),
        row<fletcher>("fletcher32s", 32, text, 0x5ba30fd9, "hashbench", "Fletcher-32 checksum over single bytes"),
        row<one_at_a_time>("one_at_a_time", 32, text, 0x519e91f5, "hashbench", "Jenkins' one-at-a-time"),
        row<x31_len>("x31/len", 32, counted, 0xdbacdd53, "hashbench", "x31 over the key's length, NUL bytes included"),
        row<ramakrishna_len>("ramakrishna/len", 32, counted, 0xd5b4df65, "hashbench", "ramakrishna over the key's length"),
        row<fletcher_len>("fletcher32s/len", 32, counted, 0x5ba30fd9, "hashbench", "fletcher32s over the key's length"),
        row<one_at_a_time_len>("one_at_a_time/len", 32, counted, 0x519e91f5, "hashbench",
                               "one_at_a_time over the key's length"),
        row<lookup2>("lookup2", 32, seeded32, 0xfc1558de, "hashbench", "Jenkins' lookup2, initial value 0 (the seed)"),
        row<xxh32>("xxh32", 32, seeded32, 0xe85ea4de, "libxxhash-dev", "XXH32, seed 0"),
        row<xxh64>("xxh64", 64, seeded64, 0xb242d361fda71bc, "libxxhash-dev", "XXH64, seed 0"),
        row<xxh32>("xxh32-index", 32, index_seeded, 0xe85ea4de, "libxxhash-dev", "XXH32 seeded with the key's index, as hashbench"),
        row<xxh64>("xxh64-index", 64, index_seeded, 0xb242d361fda71bc, "libxxhash-dev", "XXH64 seeded with the key's index, as hashbench"),
        row<lookup2>("lookup2-chained", 32, chained, 0xfc1558de, "hashbench", "lookup2 seeded with the previous key's hash, as hashbench"),
        row<xxh3>("xxh3", 64, seeded64, 0xce7d19a5418fb365, "libxxhash-dev", "XXH3 64-bit, default secret, seed 0; keys over 240 bytes by the best vector path"),
        row<xxh128_low>("xxh128-low", 64, seeded64, 0x24a1cc2e3a8a7651, "libxxhash-dev", "XXH3 128-bit, its low 64 bits, default secret; vector path as xxh3"),
        row<xxh128_high>("xxh128-high", 64, seeded64, 0xddd650205ca3e7fa, "libxxhash-dev", "XXH3 128-bit, its high 64 bits, default secret; vector path as xxh3"),
        row<farm32>("farmhash32", 32, counted, 0xdfe2a0b9, "libfarmhash-dev", "FarmHash's Hash32"),
        row<farm64>("farmhash64", 64, counted, 0x6466f758d91acaa, "libfarmhash-dev", "FarmHash's Hash64"),
        row<farm_fingerprint64>("farm-fingerprint64", 64, counted, 0xabbe83f33b1b5134, "libfarmhash-dev",
                                "FarmHash's Fingerprint64 (the same on every platform)"),
        row<highway64>("highwayhash64", 64, seeded64, 0xb3396196ccc174af, "libhighwayhash-dev",
                       "HighwayHash 64-bit, key 00 01 .. 1f xor the seed, best path the processor has"),
        row<metro64>("metrohash64", 64, seeded64, 0x9c3874191571b837, "libmetrohash-dev", "MetroHash64 (its Hash, seed 0)"),
        row<wy>("wyhash", 64, seeded64, 0xf4028f6b9d91e00a, "libwyhash-dev", "wyhash final version, seed 0, default secret"),
        row<murmur3>("murmur3", 32, seeded32, 0x2e4ff723, "libmurmurhash-dev", "MurmurHash3 x86 32-bit, seed 0"),
        row<siphash>("siphash", 64, seeded64, 0x52276105dc1f6fe4, "libsodium-dev", "SipHash-2-4, key 00 01 .. 0f xor the seed"),
        row<blake2b>("blake2b", 64, seeded64, 0xa586e138407d5374, "libsodium-dev", "keyed BLAKE2b, 8 bytes out, key: the seed; a random function"),
        row<std_hash>("std", 64, counted, 0xdccbf2541704bc75, "libstdc++", "std::hash<std::string_view> of this build's library"),
    };
    return table;
}

lab_hash runtime_hash(std::string name, int width, hash_call call, std::string source) {
    return {std::move(name), width, call, seeding::none, false, 64, std::move(source), "plugin", 0,
            hash_all_through_pointer, run_through_pointer, speed_through_pointer};
}

lab_hash load_plugin(const std::string& argument) {
    const std::size_t width_colon = argument.rfind(':');
    const std::size_t symbol_colon = width_colon == std::string::npos ? std::string::npos : argument.rfind(':', width_colon - 1);
    if (symbol_colon == std::string::npos || symbol_colon == 0 || width_colon == 0)
        throw bad_input("--plugin " + argument + ": expected PATH:SYMBOL:WIDTH");
    const std::string path = argument.substr(0, symbol_colon);
    const std::string symbol = argument.substr(symbol_colon + 1, width_colon - symbol_colon - 1);
    const std::string width = argument.substr(width_colon + 1);
    if (width != "32" && width != "64") throw bad_input("--plugin " + argument + ": the width must be 32 or 64, not '" + width + "'");
    // dlopen searches the library path for a bare name; a plugin is a file the user points at.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw bad_input("--plugin " + argument + ": cannot load " + path + ": " + dlerror());
    void* address = dlsym(library, symbol.c_str());
    if (address == nullptr) throw bad_input("--plugin " + argument + ": no symbol '" + symbol + "' in " + path);
    // The library stays loaded until the process ends: its function is called until then.
    return runtime_hash(symbol, std::stoi(width), reinterpret_cast<hash_call>(address), path);
}

std::vector<lab_hash> select_hashes(const std::vector<std::string>& names, const std::vector<std::string>& plugins) {
    const auto& table = builtin_hashes();
    std::vector<lab_hash> chosen;
    if (names.empty()) chosen = table;
    for (const auto& name : names) {
        const auto found = std::find_if(table.begin(), table.end(), [&](const lab_hash& h) { return h.name == name; });
        if (found == table.end()) {
            std::string known;
            for (const auto& h : table) known += (known.empty() ? "" : ", ") + h.name;
            throw bad_input("unknown hash '" + name + "'; known: " + known);
        }
        chosen.push_back(*found);
    }
    for (const auto& argument : plugins) {
        lab_hash plugin = load_plugin(argument);
        for (const auto& h : chosen)
            if (h.name == plugin.name) throw bad_input("--plugin " + argument + ": the name '" + plugin.name + "' is taken");
        chosen.push_back(std::move(plugin));
    }
    return chosen;
}
