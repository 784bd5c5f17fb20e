// Turning clock ticks into the reported seconds.
#pragma once

#include <cstdint>
#include <ctime>

// The report's formula counts in milliseconds: Windows' clock ticks 1000 times a second (elapsed
// time), Linux's CLOCKS_PER_SEC is 1,000,000 (processor time). 64 bits hold centuries of either.
inline int64_t ticks_to_ms(int64_t ticks, int64_t ticks_per_second = CLOCKS_PER_SEC) {
    return ticks * 1000 / ticks_per_second;
}

inline int64_t elapsed_ms(std::clock_t t0, std::clock_t t1) {
    return ticks_to_ms(static_cast<int64_t>(t1) - static_cast<int64_t>(t0));
}

// The product is formed in single precision, as the report has always computed it; from about
// 512 s on this shows in the fourth decimal (512003 ms reads 512.0031s), and changing it would
// make reports incomparable with earlier ones.
inline constexpr float tick_factor = 0.001f;

inline double report_seconds(int64_t ms) {
    return static_cast<double>(static_cast<float>(ms) * tick_factor);
}

inline constexpr const char* time_line_format = "%.4fs\n";
