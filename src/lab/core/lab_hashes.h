// The hashes hashlab knows: one table, one row per hash, in lab_hashes.cpp. Adding a hash is
// adding a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bits.h"
#include "core/hash_call.h"
#include "core/keys.h"

namespace lab {

struct lab_hash;
using hash_all_call = void (*)(const lab_hash&, const key_set&, uint64_t* out);

// The key every row's known answer is taken of, at seed 0: long enough to pass the block loops of
// the block-wise hashes, with a tail that is not a whole block.
inline constexpr const char* known_answer_key = "The quick brown fox jumps over the lazy dog";

struct lab_hash {
    std::string name;
    int width;  // output bits: 32 or 64
    hash_call call;
    seeding seeds = seeding::none;
    bool stops_at_nul = false;
    int seed_bits = 0;  // of the call's seed that it uses; 0: it takes none (a plugin's is 64)
    std::string source;
    std::string note;
    uint64_t known_answer = 0;  // of known_answer_key at seed 0
    // In the cost study when no hash is named: a hash a user would put in a table, not a twin kept
    // for the battery (the /len rows, the halves of xxh128, the random function) nor the fixed
    // run's seedings.
    bool table_default = true;
    // Hashes every key of a set, in order, into out. Built-in rows get a loop with their call
    // inlined, so their speed is the hash's own and not a call through a pointer.
    hash_all_call hash_all = nullptr;
    // The row's place in builtin::rows (hash_calls.h), where each study finds the call to inline
    // into its own loops; -1 for a plugin, called through its pointer.
    int builtin = -1;

    uint64_t mask() const { return low_bits(width); }
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const {
        return call(data, length, seed) & mask();
    }
    // The seed of key i of a set whose hashes are `values` (only chained hashes look at them).
    uint64_t seed_of(std::size_t i, const uint64_t* values) const {
        if (seeds == seeding::index) return i;
        if (seeds == seeding::chained) return i == 0 ? 0 : values[i - 1];
        return 0;
    }
    // The same value for the same key: what a table's hasher needs.
    bool deterministic() const { return seeds == seeding::none; }
};

const std::vector<lab_hash>& builtin_hashes();

// How a study's loop calls a runtime hash: through its row (a built-in's: inline_call).
struct pointer_call {
    const lab_hash* hash;
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return (*hash)(data, length, seed); }
};

// A hash known only at run time, called through its pointer everywhere (seed 0).
lab_hash runtime_hash(std::string name, int width, hash_call call, std::string source);

// A hash from a shared library, given as PATH:SYMBOL:WIDTH; the symbol has the hash_call type.
lab_hash load_plugin(const std::string& argument);

// The rows a run uses: the named built-ins (all of them when none is named), then the plugins.
std::vector<lab_hash> select_hashes(const std::vector<std::string>& names, const std::vector<std::string>& plugins);
// Loads the plugins after the hashes chosen, refusing a name a built-in or another one has.
void add_plugins(std::vector<lab_hash>& chosen, const std::vector<std::string>& plugins);

}  // namespace lab
