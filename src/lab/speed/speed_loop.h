// The timed loop of hashlab speed, one template for every hash: built-in rows instantiate it with
// their call inlined, plugins with a call through the row's pointer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab::speed {

// What one timed round hashes: `calls` keys, key j of 4096 starting at buffer + starts[j] and
// `lengths[j]` bytes long (all equal, or drawn from a range).
struct speed_input {
    static constexpr std::size_t key_count = 4096;
    const char* buffer = nullptr;
    const uint32_t* starts = nullptr;
    const uint32_t* lengths = nullptr;
    bool latency = false;
    uint64_t calls = 0;
};

// Throughput: the keys are taken in turn and no call waits for another, so the processor may
// overlap them. Latency: the next key is chosen by the previous hash, so no call can begin before
// the one before it has ended. Either way every result is used, so the optimiser cannot drop a
// call, and the loop adds two loads, a mask and an add per call.
template <class Call>
uint64_t run_speed(Call call, const speed_input& in) {
    constexpr uint64_t last = speed_input::key_count - 1;
    uint64_t sum = 0;
    if (in.latency) {
        for (uint64_t i = 0; i < in.calls; ++i) sum = call(in.buffer + in.starts[sum & last], in.lengths[sum & last], 0);
    } else {
        for (uint64_t i = 0; i < in.calls; ++i) sum += call(in.buffer + in.starts[i & last], in.lengths[i & last], 0);
    }
    return sum;
}

}  // namespace lab::speed
