// The structured key families, the patterns that break weak hashes: their rows of key_families()
// (keys.cpp joins them to the ordinary families), and what a family's numbers are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/keys.h"

namespace lab {

inline uint64_t nth(const family_args& args, std::size_t i) { return args.numbers[i]; }
inline uint64_t last_number(const family_args& args) { return args.numbers.back(); }

std::vector<key_family> structured_families();

}  // namespace lab
