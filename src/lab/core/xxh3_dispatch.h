// XXH3 at its best on the processor it runs on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab {

// XXH3 reads keys of up to 240 bytes with scalar code, which the callers inline from the header;
// longer keys go here, to libxxhash's run-time dispatcher, which picks the widest vector unit the
// processor has (the header alone compiles the SSE2 path, as no wider one can be assumed).
inline constexpr std::size_t xxh3_scalar_up_to = 240;
uint64_t xxh3_best(const char* data, std::size_t length, uint64_t seed);
void xxh128_best(const char* data, std::size_t length, uint64_t seed, uint64_t& low, uint64_t& high);

// The path the dispatcher takes on this processor, as it decides: "AVX-512", "AVX2" or "SSE2".
const char* xxh3_vector_path();

}  // namespace lab
