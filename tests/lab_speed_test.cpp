// hashlab speed: the timed loop measures the hash and nothing else (a hash that does nothing
// times as the empty loop, a known delay in proportion), and the lengths it is asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/lab_hashes.h"
#include "speed/speed.h"
#include "speed/speed_loop.h"

using namespace lab;
using namespace lab::speed;

namespace {

// A delay the optimiser cannot shorten: `steps` dependent multiplications from the key's first
// byte, each result hidden from it so that none can be folded into the next. (The barrier is not
// volatile: a call whose result is unused may still be dropped, as any pure call.)
template <int steps>
uint64_t delay(const char* data, std::size_t, uint64_t) {
    uint64_t x = static_cast<unsigned char>(data[0]) | 1;
    for (int i = 0; i < steps; ++i) {
        x *= 0x9E3779B97F4A7C15ull;
        asm("" : "+r"(x));
    }
    return x;
}

// The same without the barrier, for the inlined loop: a chain the optimiser cannot sum up in a
// closed form, but may drop whole if its result is not used.
template <int steps>
uint64_t pure_delay(const char* data, std::size_t, uint64_t) {
    uint64_t x = static_cast<unsigned char>(data[0]) | 1;
    for (int i = 0; i < steps; ++i) x = (x ^ (x >> 29)) * 0x9E3779B97F4A7C15ull;
    return x;
}

uint64_t nothing(const char*, std::size_t, uint64_t) { return 0; }

const std::string buffer(200, 'x');
const std::vector<uint32_t> starts(speed_input::key_count, 0), lengths(speed_input::key_count, 100);

// The fastest of many short rounds of each timing, taken in turn, as the study takes them: a slow
// spell of the machine (it comes and goes over tens of milliseconds here) falls on all alike.
std::vector<double> fastest(const std::vector<std::function<double()>>& timings) {
    std::vector<double> best(timings.size(), 1e30);
    for (int round = 0; round < 31; ++round)
        for (std::size_t i = 0; i < timings.size(); ++i) best[i] = std::min(best[i], timings[i]());
    return best;
}

// Both loops: the call through a pointer (plugins) and the call inlined (built-in rows), which must
// still make every call.
TEST(SpeedLoop, TimesTheHashAndNothingElse) {
    const lab_hash none = runtime_hash("nothing", 64, nothing, "test");
    const lab_hash short_delay = runtime_hash("delay 300", 64, delay<300>, "test");
    const lab_hash long_delay = runtime_hash("delay 900", 64, delay<900>, "test");
    for (const bool latency : {false, true}) {
        const speed_input in{buffer.data(), starts.data(), lengths.data(), latency, 2000};
        const auto inlined = [&](auto call) {  // a lambda, as the rows' call objects: its call known and inlined
            return [call, in] {
                const auto start = std::chrono::steady_clock::now();
                const uint64_t sum = run_speed(call, in);
                const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
                EXPECT_NE(sum, 0u);
                return took.count();
            };
        };
        const auto t = fastest({[&] { return time_round(none, in); }, [&] { return time_round(short_delay, in); },
                                [&] { return time_round(long_delay, in); },
                                inlined([](const char* d, std::size_t n, uint64_t s) { return pure_delay<300>(d, n, s); }),
                                inlined([](const char* d, std::size_t n, uint64_t s) { return pure_delay<900>(d, n, s); })});
        const char* mode = latency ? "latency" : "throughput";
        // 300 dependent multiplications take 900 cycles or more: the loop and the call around them
        // a few (a few more under the sanitizers).
        EXPECT_LT(t[0], 0.05 * t[1]) << mode;
        // In latency each call waits for the one before, so the times add up; in throughput the
        // processor may start a call's chain while the previous one ends, which shortens the
        // shorter delay more.
        for (const double ratio : {t[2] / t[1], t[4] / t[3]}) {
            EXPECT_GT(ratio, latency ? 2.6 : 2.5) << mode;
            EXPECT_LT(ratio, latency ? 3.4 : 4.0) << mode;
        }
    }
}

// A hash that stops at the first NUL reads each key to its given length, no further.
std::size_t shortest_read, longest_read;
uint64_t reads_to_nul(const char* data, std::size_t, uint64_t) {
    const std::size_t n = std::strlen(data);
    shortest_read = std::min(shortest_read, n);
    longest_read = std::max(longest_read, n);
    return n;
}

TEST(SpeedStudy, TextHashesReadKeysOfTheGivenLengths) {
    lab_hash text = runtime_hash("to its NUL", 64, reads_to_nul, "test");
    text.stops_at_nul = true;
    struct case_ { length_range range; std::size_t shortest, longest; };
    for (const auto& c : {case_{{100, 100}, 100, 100}, case_{{1, 16}, 1, 16}, case_{{100000, 100000}, 100000, 100000}}) {
        shortest_read = SIZE_MAX;
        longest_read = 0;
        speed_plan plan;
        plan.lengths = {c.range};
        plan.rounds = 1;
        plan.round_seconds = 1e-5;
        run_speed_study({text}, plan, 1, [](const std::string&) {});
        EXPECT_EQ(shortest_read, c.shortest) << c.range.name();
        EXPECT_EQ(longest_read, c.longest) << c.range.name();
    }
}

TEST(SpeedPlan, LengthsAsAsked) {
    const speed_plan full = plan_speed(false, {});
    EXPECT_EQ(full.lengths.size(), 128u + 13u + 5u);  // 1..128, 256..1 MiB, 1-8..1-128
    EXPECT_EQ(full.lengths[127].shortest, 128u);
    EXPECT_EQ(full.lengths[140].shortest, 1u << 20);
    EXPECT_EQ(full.lengths.back().longest, 128u);
    EXPECT_EQ(plan_speed(true, {{8, 8}}).lengths.size(), 1u);

    struct case_ { const char* text; uint32_t shortest, longest; };
    for (const auto& c : {case_{"1", 1, 1}, case_{"1-16", 1, 16}, case_{"1073741824", 1u << 30, 1u << 30}}) {
        const length_range r = parse_length(c.text);
        EXPECT_EQ(r.shortest, c.shortest) << c.text;
        EXPECT_EQ(r.longest, c.longest) << c.text;
    }
    for (const char* bad : {"0", "", "-3", "5-3", "4-4", "1073741825", "8x", "1-", "2-x"})
        EXPECT_THROW(parse_length(bad), bad_input) << bad;
}

}  // namespace
