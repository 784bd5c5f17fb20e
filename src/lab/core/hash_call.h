// How the lab calls a hash, below everything that knows which hashes there are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab {

// Every hash is called as (key bytes, length, seed); the arena puts a NUL after each key, so a
// text hash may ignore the length and stop at the first NUL.
using hash_call = uint64_t (*)(const char* data, std::size_t length, uint64_t seed);

// Where a key's seed comes from: always 0, the key's index, or the previous key's hash (from 0).
enum class seeding { none, index, chained };

// A study's loop calls a built-in hash through this, its call inlined.
template <hash_call F>
struct inline_call {
    uint64_t operator()(const char* data, std::size_t length, uint64_t seed) const { return F(data, length, seed); }
};

}  // namespace lab
