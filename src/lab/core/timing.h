// How the lab turns timed rounds into figures it can stand behind, for every study that times:
// pinning, the estimate of a figure, intervals of ratios of loops timed side by side, and the loop
// that repeats rounds until the intervals are narrow or the time is spent. The reasons for each
// choice are in docs/LAB.md ("Numbers that hold").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lab {

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

// A statistic over rounds for the jackknife: [0] from every round, [1 + i] with round i left out.
using replicates = std::vector<double>;

// The cost of loop a over that of loop b, timed side by side: part p of row r of a ran within
// milliseconds of part p of row r of b (rows_per_round rows a round), so whatever the machine did
// then it did to both. Each loop is taken at each part's fastest row, summed, over the same rows
// (parts a row lacks, cut short, are not counted for either): the quiet moments that a part's
// fastest row found were the same for both. Replicates with each round left out in turn, its rows
// together.
replicates paired_ratio(const timed_parts& a, const timed_parts& b, std::size_t rows_per_round = 1);

// The interval of a ratio from its replicates: the jackknife in logs (a ratio's error is a
// factor), with Student's t for the few rounds there are. Fewer than two rounds: 0 to infinity.
interval ratio_interval(const replicates& ratio, double confidence = 0.95);

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

}  // namespace lab
