#include "check/check.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "check/bit_flips.h"
#include "core/measures.h"
#include "core/parallel.h"
#include "core/stats.h"
#include "core/text.h"

namespace lab::check {

namespace {

// The thread's buffer for a set's values (or bit-flip differences), kept from set to set: the
// kernel's faulting-in of fresh memory for every set and axis was a quarter of the battery's time.
std::vector<uint64_t>& set_buffer() {
    thread_local std::vector<uint64_t> values;
    return values;
}

std::string p_text(double log2_p) { return (log2_p > -10 ? "p = " : "p ") + p_value(log2_p); }

}  // namespace

// The worst cell and pair of a bit-flip set as results, then the battery's tests on the differences.
std::vector<check_result> flip_results(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<uint64_t>& differences = set_buffer();
    const flip_worst w = flip_study(h, set.length, set.samples, seed, differences);
    std::vector<check_result> results = test_values(h, set, differences);
    const auto input = [&](int bit) {
        return set.length == 0 ? format("seed bit %d", bit) : format("input bit %d (byte %d, bit %d)", bit, bit / 8, bit % 8);
    };
    const double n = static_cast<double>(w.samples), flips = static_cast<double>(w.avalanche_flips);
    check_result cell;
    cell.hash = h.name;
    cell.family = set.family;
    cell.set = set.given;
    cell.test = "avalanche";
    cell.statistic = flips;
    cell.expected = n / 2;
    cell.bits = w.avalanche_output;
    cell.part = input(w.avalanche_input) + format(", output bit %d", w.avalanche_output);
    cell.log2_p = std::fmin(0.0, 1 + binomial_lower_log2(std::min(flips, n - flips), n, 0.5));  // two-sided
    cell.looked_at = static_cast<double>(w.inputs) * h.width;
    cell.log2_p_corrected = sidak_log2(cell.log2_p, cell.looked_at);
    cell.finding = format("output bit %d flips in %.2f %% of %s flips where 50 %% is expected", w.avalanche_output,
                          100 * flips / n, input(w.avalanche_input).c_str());
    check_result pair = cell;
    pair.test = "bit independence";
    pair.statistic = w.pair_chi_square;
    pair.expected = 1;
    pair.bits = w.pair_b;
    pair.part = input(w.pair_input) + format(", output bits %d and %d", w.pair_a, w.pair_b);
    pair.log2_p = chi_square_tail_log2(w.pair_chi_square, 1);
    pair.looked_at = static_cast<double>(w.inputs) * h.width * (h.width - 1) / 2;
    pair.log2_p_corrected = sidak_log2(pair.log2_p, pair.looked_at);
    pair.finding = format("output bits %d and %d flip together with correlation %+.3f (chi-square %.1f) when %s flips",
                          w.pair_a, w.pair_b, w.pair_correlation, w.pair_chi_square, input(w.pair_input).c_str());
    results.insert(results.begin(), {cell, pair});
    return results;
}

// The tests of a key set or seed family on its values and on the differences of neighbours along
// each of its axes, with the keys a text hash merges at their first NUL.
std::vector<check_result> key_set_results(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<uint64_t>& values = set_buffer();
    hash_set_into(h, set, seed, values);
    // The differences first: the values' own tests sort them.
    std::vector<check_result> of_differences;
    for (const auto& axis : set.row->axes != nullptr ? set.row->axes(set) : std::vector<difference_axis>{}) {
        if (axis.step >= values.size()) continue;
        for (auto& r : test_values(h, set, values, axis.step)) {
            r.of = axis.name;
            of_differences.push_back(std::move(r));
        }
    }
    std::vector<check_result> results = test_values(h, set, values);
    results.insert(results.end(), of_differences.begin(), of_differences.end());
    if (h.stops_at_nul && set.may_hold_nul) {
        // The values are done with: their buffer holds the keys' prefixes.
        const uint64_t merged = merged_at_nul([&](const key_visit& visit) {
            set.row->pairs(set, h, seed, [&](std::string_view key, uint64_t) { visit(key); });
        }, values);
        for (auto& r : results) r.nul_merged = merged;
    }
    return results;
}

std::vector<check_verdict> verdicts(const std::vector<std::string>& hashes, const std::vector<check_result>& results) {
    std::vector<check_verdict> all;
    for (const auto& name : hashes) {
        check_verdict v;
        v.hash = name;
        v.verdict = "PASS";
        for (const auto& r : results) v.total += r.hash == name;
        v.fail_log2 = fail_threshold_log2(static_cast<std::size_t>(v.total));
        v.warn_log2 = warn_threshold_log2(static_cast<std::size_t>(v.total));
        for (const auto& r : results) {
            if (r.hash != name) continue;
            const bool failed = r.log2_p_corrected < v.fail_log2, warned = r.log2_p_corrected < v.warn_log2;
            v.passed += !warned;
            if (failed) v.verdict = "FAIL";
            if (warned && v.verdict == "PASS") v.verdict = "WARN";
            if (!warned) continue;
            const auto same_family = std::find_if(v.worst_failed.begin(), v.worst_failed.end(),
                                                  [&](const check_result* w) { return w->family == r.family; });
            if (same_family == v.worst_failed.end()) v.worst_failed.push_back(&r);
            else if (r.log2_p_corrected < (*same_family)->log2_p_corrected) *same_family = &r;
        }
        all.push_back(v);
    }
    return all;
}

std::string describe(const check_result& r) {
    std::string text = r.set + (r.of.empty() ? "" : ", " + r.of) + ": " + r.finding + ", " + p_text(r.log2_p);
    if (r.looked_at > 1) text += format(" (the worst of %.0f; %s after that)", r.looked_at, p_text(r.log2_p_corrected).c_str());
    if (r.nul_merged != 0) text += "; " + with_commas(r.nul_merged) + " keys are equal up to their first NUL, where this hash stops";
    return text;
}

std::vector<check_result> run_battery(const std::vector<lab_hash>& hashes, bool quick, const std::vector<std::string>& families,
                                      uint64_t seed, const std::function<void(const std::string&)>& step) {
    struct job {
        const lab_hash* hash;
        check_set set;
        std::vector<check_result> results;
    };
    std::vector<job> jobs;
    for (const auto& h : hashes)
        for (auto& set : battery(h, quick, families)) jobs.push_back({&h, std::move(set), {}});
    // The largest first, so that no core is left with a long one at the end.
    std::vector<job*> order;
    for (auto& j : jobs) order.push_back(&j);
    std::stable_sort(order.begin(), order.end(), [](const job* a, const job* b) { return a->set.count > b->set.count; });

    std::atomic<std::size_t> done{0};
    const auto doing = [&](std::size_t i) { return "checking " + order[i]->hash->name + " on " + order[i]->set.given; };
    on_every_core(
        order.size(),
        [&](std::size_t i) {
            job& j = *order[i];
            step(format("%s (%zu of %zu sets done)", doing(i).c_str(), done.load(), order.size()));
            j.results = j.set.row->results(*j.hash, j.set, seed);
            ++done;
        },
        [&](std::size_t i) { step(doing(i)); });
    std::vector<check_result> results;
    for (auto& j : jobs) results.insert(results.end(), j.results.begin(), j.results.end());
    return results;
}

}  // namespace lab::check
