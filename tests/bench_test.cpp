#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "decimal_key.h"
#include "timing.h"

namespace {

TEST(DecimalKey, FormatsRightAligned) {
    const std::pair<int32_t, std::string> rows[] = {
        {0, "0"},
        {4999999, "4999999"},
        {-42, "-42"},
        {INT32_MIN, "-2147483648"},
        {INT32_MAX, "2147483647"},
    };
    for (const auto& [n, text] : rows) {
        const char* p = decimal_key(n);
        EXPECT_EQ(std::string(p), text);
        EXPECT_EQ(p + std::strlen(p), key_buffer + sizeof key_buffer - 1) << "text must end at the buffer's end";
    }
}

std::string time_line(int64_t ms) {
    char line[64];
    std::snprintf(line, sizeof line, time_line_format, report_seconds(ms));
    return line;
}

TEST(TimeLine, SinglePrecisionFormula) {
    const std::pair<int64_t, const char*> rows[] = {
        {0, "0.0000s\n"},
        {1234, "1.2340s\n"},
        {512003, "512.0031s\n"},  // exact division would give 512.0030s
        {3600000, "3600.0002s\n"},
    };
    for (const auto& [ms, line] : rows) EXPECT_EQ(time_line(ms), line) << ms << " ms";
}

TEST(ElapsedMs, ConvertsAtBothTickRates) {
    struct Row {
        int64_t ticks, ticks_per_second, ms;
    };
    const Row rows[] = {
        {0, 1000, 0},
        {1234, 1000, 1234},  // Windows: the identity
        {3600000, 1000, 3600000},
        {1234567, 1000000, 1234},  // Linux: whole milliseconds, truncated
        {999, 1000000, 0},
        {3000000000, 1000000, 3000000},  // past 2^31 microseconds, about 50 minutes
        {int64_t{10} * 3600 * 1000000, 1000000, int64_t{10} * 3600 * 1000},
    };
    for (const auto& r : rows) EXPECT_EQ(ticks_to_ms(r.ticks, r.ticks_per_second), r.ms) << r.ticks << " ticks";
}

// Where CLOCKS_PER_SEC is 1000 (Windows) this is the identity: 1239 - 5 ticks are 1234 ms.
TEST(ElapsedMs, NativeClockGivesMilliseconds) {
    const std::clock_t start = 5;
    const std::clock_t ticks_of_1234_ms = static_cast<std::clock_t>(int64_t{CLOCKS_PER_SEC} * 1234 / 1000);
    EXPECT_EQ(elapsed_ms(start, start + ticks_of_1234_ms), 1234);
    EXPECT_EQ(elapsed_ms(start, start + ticks_of_1234_ms - 1), 1233);
}

}  // namespace
