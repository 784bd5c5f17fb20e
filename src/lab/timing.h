// How the lab turns timed rounds into figures it can stand behind, for every study that times:
// pinning, the estimate of a figure, intervals of ratios taken inside a round, the check for a
// disturbed round, and the loop that repeats rounds until the intervals are narrow or the time is
// spent. The reasons for each choice are in docs/LAB.md ("Numbers that hold").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One figure over its rounds: their median and range.
struct spread_of_runs {
    double median = 0, min = 0, max = 0;
};
spread_of_runs summarise(std::vector<double> samples);

// A loop timed in parts, over rounds: rounds[r][p] is the ns of part p in round r.
using timed_parts = std::vector<std::vector<double>>;

// ns per operation of a loop of `operations` timed in parts: each part at its fastest round,
// summed. The machine only ever adds time to a part (another tenant's traffic, a lower clock, an
// interrupt), in spells longer than a part, so a part's fastest round is the one least added to;
// taking the fastest per part rather than the fastest whole round keeps the quiet stretches of
// every round. Rounds that break off early (a loop cut short) count for the parts they have.
double fastest_parts(const timed_parts& rounds, std::size_t operations);

// A ratio of estimates with its interval.
struct interval {
    double estimate = 0, low = 0, high = 0, coverage = 0;
    std::size_t samples = 0;  // rounds it rests on
    bool includes(double x) const { return low <= x && x <= high; }
    // Narrow enough to tell apart figures `resolution` apart: no wider than that share of the ratio.
    bool narrow(double resolution) const { return high - low <= resolution * estimate; }
};

// fastest_parts(a) / fastest_parts(b) for two loops timed in the same rounds, each round
// `passes_per_round` rows in a row, with an interval meant to hold the true ratio with the given
// confidence: the jackknife over rounds (each left out in turn, from both, since they ran side by
// side) with Student's t. Fewer than two rounds: from 0 to infinity.
interval ratio_interval(const timed_parts& a, const timed_parts& b, std::size_t passes_per_round = 1,
                        double confidence = 0.95);

// A fixed loop timed between the runs of a study: independent loads from a buffer larger than the
// caches, so it feels what slows a table down (another tenant's traffic, a lower clock).
class disturbance_check {
public:
    explicit disturbance_check(std::size_t bytes = std::size_t{128} << 20, std::size_t loads = 65536);
    // Times the loop once: ns per load.
    double calibrate();
    // Whether a calibration of `ns` is more than `tolerance` slower than the fastest seen so far;
    // learns it as the fastest if it is.
    bool disturbed(double ns, double tolerance);

private:
    std::vector<uint64_t> buffer_;
    std::size_t loads_;
    uint64_t count_ = 0, sum_ = 0;
    double fastest_ = 0;
};

// Runs run() when the machine is quiet, if it turns quiet within `waits` calibrations: each
// calibration more than `quiet` slower than the fastest is followed by another. After the run,
// when a calibration is more than `busy` slower, the run is dropped and run() called again, once,
// unless it returned false (nothing worth timing again). The first calibration before and after
// a run only warms up: the table has just had the caches, and meets the loop's memory cold.
// Returns the runs dropped.
struct quiet_rules {
    double quiet = 0.15, busy = 0.5;
    int waits = 200;  // some 0.3 s
};
int run_when_quiet(disturbance_check& check, const std::function<double()>& calibrate, const std::function<bool()>& run,
                   const quiet_rules& rules = {});

// Runs round(r) for r = 0, 1, ... : at least `least` rounds, then more while enough(r) says the
// figures are not yet narrow, the time spent (read from `now`) stays within `budget`, and fewer
// than `most` were run. A round is not started when the time after it, judged by the longest round
// so far, would pass the budget. Returns the rounds run.
using seconds_clock = std::function<double()>;
int repeat_rounds(int least, int most, double budget_seconds, const std::function<void(int)>& round,
                  const std::function<bool()>& enough, const seconds_clock& now);
double steady_seconds();

// Pins the calling thread, and the threads it starts later, to one core until destroyed.
class core_pin {
public:
    core_pin();
    ~core_pin();
    core_pin(const core_pin&) = delete;
    core_pin& operator=(const core_pin&) = delete;
    // "core N", or why the process could not be pinned.
    const std::string& description() const { return description_; }

private:
    std::string description_;
    bool pinned_ = false;
    std::vector<unsigned char> saved_;
};
