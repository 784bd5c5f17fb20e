// hashlab speed: ns per hash by key length, in throughput and in latency, at fixed lengths and at
// random lengths within a range.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/lab_hashes.h"
#include "speed/speed_loop.h"

namespace lab::speed {

// Key lengths from `shortest` to `longest`, drawn at random for each call; a fixed length has
// both equal.
struct length_range {
    uint32_t shortest = 0, longest = 0;
    bool fixed() const { return shortest == longest; }
    std::string name() const { return fixed() ? std::to_string(shortest) : std::to_string(shortest) + "-" + std::to_string(longest); }
};

struct speed_plan {
    std::vector<length_range> lengths;
    int rounds = 0;               // timed rounds of each hash at each length and mode
    double round_seconds = 0;     // how long a round lasts
};
// 1 to 128 bytes, powers of two to 1 MiB, and random lengths within 1-8 to 1-128; fewer with
// `quick`; exactly `chosen` when lengths are given.
speed_plan plan_speed(bool quick, const std::vector<length_range>& chosen);
// "N" or "A-B", from 1 to 2^30; throws bad_input.
length_range parse_length(const std::string& text);
inline constexpr uint32_t longest_random_length = 65536;

// One hash at one length in one mode: the fastest round's ns per hash, the estimate (a loop's
// only noise is time added to it by the machine, so its fastest round is the one least added
// to), the median round's, and how far the median lies above the fastest.
struct speed_point {
    std::string hash, mode;  // "throughput" or "latency"
    length_range lengths;
    int rounds = 0;
    uint64_t calls = 0;  // per round
    double ns = 0, median_ns = 0;
    double spread() const { return ns > 0 ? median_ns / ns - 1 : 0; }
    double bytes_per_ns() const { return ns > 0 ? (lengths.shortest + lengths.longest) / 2.0 / ns : 0; }
};

// Every hash at every length in both modes, on the calling thread (pinned by the caller). Within a
// length and mode the hashes take their rounds in turn, so that a slow spell of the machine falls
// on all of them alike.
std::vector<speed_point> run_speed_study(const std::vector<lab_hash>& hashes, const speed_plan& plan, uint64_t seed,
                                         const std::function<void(const std::string&)>& step);

// ns per call of `calls` calls of one round, timed with the steady clock.
double time_round(const lab_hash& h, const speed_input& in);

}  // namespace lab::speed
