// The timed loop of hashlab speed, one template for every hash: built-in rows instantiate it with
// their call inlined, plugins with a call through the row's pointer.
#pragma once

#include <cstddef>
#include <cstdint>

// What one timed round hashes: `calls` keys read from `buffer`, their lengths taken in turn from
// `lengths` (4096 of them: all equal, or drawn from a range).
struct speed_input {
    static constexpr std::size_t length_count = 4096;
    const char* buffer = nullptr;  // the longest key plus 64 bytes, none of them NUL
    const uint32_t* lengths = nullptr;
    bool latency = false;
    uint64_t calls = 0;
};

// Throughput: the keys start at 64 successive offsets and no call waits for another, so the
// processor may overlap them. Latency: each key starts at an offset taken from the previous hash,
// so no call can begin before the one before it has ended. Either way every result is used, so
// the optimiser cannot drop a call, and the loop adds one add and one mask per call.
template <class Call>
uint64_t run_speed(Call call, const speed_input& in) {
    uint64_t sum = 0;
    if (in.latency) {
        for (uint64_t i = 0; i < in.calls; ++i) sum = call(in.buffer + (sum & 63), in.lengths[i % speed_input::length_count], 0);
    } else {
        for (uint64_t i = 0; i < in.calls; ++i) sum += call(in.buffer + (i & 63), in.lengths[i % speed_input::length_count], 0);
    }
    return sum;
}
