#include "timing.h"

#include "stats.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

spread_of_runs summarise(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return {n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2, samples.front(), samples.back()};
}

namespace {

// Sum over parts of each part's fastest among the given rounds.
double sum_of_fastest(const timed_parts& rounds, const std::vector<std::size_t>& chosen) {
    std::size_t parts = 0;
    for (std::size_t r : chosen) parts = std::max(parts, rounds[r].size());
    double sum = 0;
    for (std::size_t p = 0; p < parts; ++p) {
        double fastest = std::numeric_limits<double>::infinity();
        for (std::size_t r : chosen)
            if (p < rounds[r].size()) fastest = std::min(fastest, rounds[r][p]);
        sum += fastest;
    }
    return sum;
}

std::vector<std::size_t> every_round(std::size_t n) {
    std::vector<std::size_t> all(n);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
}

}  // namespace

double fastest_parts(const timed_parts& rounds, std::size_t operations) {
    return operations == 0 ? 0 : sum_of_fastest(rounds, every_round(rounds.size())) / static_cast<double>(operations);
}

interval ratio_interval(const timed_parts& a, const timed_parts& b, std::size_t passes_per_round, double confidence) {
    interval r;
    const std::size_t per = std::max<std::size_t>(1, passes_per_round);
    const std::size_t rounds = std::min(a.size(), b.size()) / per;
    r.samples = rounds;
    r.coverage = confidence;
    if (rounds == 0) return r;
    const auto ratio_without = [&](std::size_t left_out) {
        std::vector<std::size_t> chosen;
        for (std::size_t row = 0; row < rounds * per; ++row)
            if (row / per != left_out) chosen.push_back(row);
        return sum_of_fastest(a, chosen) / sum_of_fastest(b, chosen);
    };
    r.estimate = ratio_without(rounds);  // no round left out
    if (rounds < 2) {  // one round says nothing of how far the next would land
        r.high = std::numeric_limits<double>::infinity();
        return r;
    }
    // The jackknife, in logs (a ratio's error is a factor): the spread of the ratio over the rounds
    // each left out once, its standard error with Student's t for the few rounds there are.
    std::vector<double> logs;
    for (std::size_t i = 0; i < rounds; ++i) logs.push_back(std::log(ratio_without(i)));
    const double n = static_cast<double>(rounds);
    const double mean = std::accumulate(logs.begin(), logs.end(), 0.0) / n;
    double squares = 0;
    for (double x : logs) squares += (x - mean) * (x - mean);
    const double spread = student_t_quantile(confidence, n - 1) * std::sqrt((n - 1) / n * squares);
    r.low = r.estimate * std::exp(-spread);
    r.high = r.estimate * std::exp(spread);
    return r;
}

disturbance_check::disturbance_check(std::size_t bytes, std::size_t loads) : loads_(loads) {
    std::size_t slots = 1;
    while (slots * 2 * sizeof(uint64_t) <= bytes) slots *= 2;
    buffer_.resize(slots);
    for (std::size_t i = 0; i < buffer_.size(); ++i) buffer_[i] = i;  // touched, so no page is first met while timed
}

double disturbance_check::calibrate() {
    // Loads from places no prefetcher can guess, each independent of the others, as a table's
    // lookups are: what they meet is the memory system under whatever else the machine runs. A
    // chase of dependent loads was tried first and hardly felt the spells that doubled lookups.
    const uint64_t mask = buffer_.size() - 1;
    uint64_t sum = 0;
    const double start = steady_seconds();
    for (std::size_t i = 0; i < loads_; ++i) {
        uint64_t x = (++count_) * 0x9E3779B97F4A7C15ull;
        sum += buffer_[(x ^ (x >> 29)) & mask];
    }
    const double took = steady_seconds() - start;
    sum_ += sum;  // kept, so the loads cannot be optimised away
    return took * 1e9 / static_cast<double>(loads_);
}

bool disturbance_check::disturbed(double ns, double tolerance) {
    if (fastest_ == 0 || ns < fastest_) fastest_ = ns;
    return ns > fastest_ * (1 + tolerance);
}

int run_when_quiet(disturbance_check& check, const std::function<double()>& calibrate, const std::function<bool()>& run,
                   const quiet_rules& rules) {
    const auto warm = [&] {
        calibrate();
        return calibrate();
    };
    for (int dropped = 0;; ++dropped) {
        double before = warm();
        for (int wait = 0; check.disturbed(before, rules.quiet) && wait < rules.waits; ++wait) before = calibrate();
        const bool repeatable = run();
        // A machine busy for longer than a second run is what there is to measure.
        if (!check.disturbed(warm(), rules.busy) || !repeatable || dropped == 1) return dropped;
    }
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
