#include "core/xxh3_dispatch.h"

// Its own unit: the dispatcher's header cannot share one with the inlined xxhash.h of hashes.h.
#define XXH_DISPATCH_DISABLE_REPLACE
#include <xxh_x86dispatch.h>

namespace lab {

uint64_t xxh3_best(const char* data, std::size_t length, uint64_t seed) {
    return XXH3_64bits_withSeed_dispatch(data, length, seed);
}

void xxh128_best(const char* data, std::size_t length, uint64_t seed, uint64_t& low, uint64_t& high) {
    const auto h = XXH3_128bits_withSeed_dispatch(data, length, seed);
    low = h.low64;
    high = h.high64;
}

const char* xxh3_vector_path() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return "AVX-512";
    if (__builtin_cpu_supports("avx2")) return "AVX2";
    return "SSE2";
}

}  // namespace lab
