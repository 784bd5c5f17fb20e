#include "core/timing.h"

#include "core/stats.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

namespace lab {

spread_of_runs summarise(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return {n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2, samples.front(), samples.back()};
}

double fastest_parts(const timed_parts& rounds, std::size_t operations) {
    if (operations == 0) return 0;
    double sum = 0;
    for (std::size_t p = 0;; ++p) {
        double fastest = std::numeric_limits<double>::infinity();
        for (const auto& row : rounds)
            if (p < row.size()) fastest = std::min(fastest, row[p]);
        if (std::isinf(fastest)) break;  // past the last part of every round
        sum += fastest;
    }
    return sum / static_cast<double>(operations);
}

replicates paired_ratio(const timed_parts& a, const timed_parts& b, std::size_t rows_per_round) {
    const std::size_t per = std::max<std::size_t>(1, rows_per_round);
    const std::size_t rounds = std::min(a.size(), b.size()) / per;
    const auto ratio_without = [&](std::size_t left_out) {
        double sum_a = 0, sum_b = 0;
        for (std::size_t p = 0;; ++p) {
            double fastest_a = std::numeric_limits<double>::infinity(), fastest_b = fastest_a;
            for (std::size_t row = 0; row < rounds * per; ++row)
                if (row / per != left_out && p < a[row].size() && p < b[row].size()) {
                    fastest_a = std::min(fastest_a, a[row][p]);
                    fastest_b = std::min(fastest_b, b[row][p]);
                }
            if (std::isinf(fastest_a)) break;  // past the last part of every row
            sum_a += fastest_a;
            sum_b += fastest_b;
        }
        return sum_b > 0 ? sum_a / sum_b : std::numeric_limits<double>::quiet_NaN();
    };
    replicates r{ratio_without(rounds)};  // no round left out
    for (std::size_t i = 0; rounds > 1 && i < rounds; ++i) r.push_back(ratio_without(i));
    return r;
}

interval ratio_interval(const replicates& ratio, double confidence) {
    interval r;
    r.coverage = confidence;
    r.high = std::numeric_limits<double>::infinity();
    if (ratio.empty()) return r;
    r.estimate = ratio.front();
    r.samples = ratio.size() == 1 ? 1 : ratio.size() - 1;
    if (ratio.size() < 3) return r;  // one round says nothing of how far the next would land
    std::vector<double> logs;
    for (std::size_t i = 1; i < ratio.size(); ++i) logs.push_back(std::log(ratio[i]));
    const double n = static_cast<double>(logs.size());
    const double mean = std::accumulate(logs.begin(), logs.end(), 0.0) / n;
    double squares = 0;
    for (double x : logs) squares += (x - mean) * (x - mean);
    const double spread = student_t_quantile(confidence, n - 1) * std::sqrt((n - 1) / n * squares);
    if (!std::isfinite(spread)) return r;
    r.low = r.estimate * std::exp(-spread);
    r.high = r.estimate * std::exp(spread);
    return r;
}

int repeat_rounds(int least, int most, double budget_seconds, const std::function<void(int)>& round,
                  const std::function<bool()>& enough, const seconds_clock& now) {
    const double start = now();
    double longest = 0;
    int r = 0;
    for (; r < most; ++r) {
        if (r >= least) {
            const double spent = now() - start;
            if (enough() || spent + longest > budget_seconds) break;
        }
        const double before = now();
        round(r);
        longest = std::max(longest, now() - before);
    }
    return r;
}

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

core_pin::core_pin() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        description_ = "not pinned: the allowed cores could not be read";
        return;
    }
    saved_.assign(reinterpret_cast<unsigned char*>(&allowed), reinterpret_cast<unsigned char*>(&allowed) + sizeof allowed);
    // The last allowed core: the first tends to take the system's interrupts.
    int core = -1;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) core = c;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    if (core < 0 || sched_setaffinity(0, sizeof one, &one) != 0) {
        description_ = "not pinned: the system refused";
        return;
    }
    pinned_ = true;
    description_ = "pinned to core " + std::to_string(core);
}

core_pin::~core_pin() {
    if (pinned_) sched_setaffinity(0, saved_.size(), reinterpret_cast<const cpu_set_t*>(saved_.data()));
}

}  // namespace lab
