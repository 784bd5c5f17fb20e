// The tests of one set's values (or differences): collisions at full width, collisions of the
// truncated widths, windows of bits; each judged against the same test on an ideal hash.
#include "check/check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <mutex>
#include <random>

#include "core/measures.h"
#include "core/stats.h"
#include "core/text.h"

namespace lab::check {

namespace {

// Windows are counted on at most this many values, taken at an even stride from the set: 64
// values a bin for the widest window, and a set's windows cost a second or less.
constexpr std::size_t window_sample = std::size_t{1} << 22;

}  // namespace

namespace {

uint64_t reversed(uint64_t v, int width) {
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
    return __builtin_bswap64(v) >> (64 - width);
}

// Built also for processors with AVX2, chosen when the program starts: there the compiler reverses
// four values at once.
__attribute__((target_clones("avx2", "default"))) void reverse_each(std::vector<uint64_t>& values, int width) {
    for (uint64_t& v : values) v = reversed(v, width);
}

check_result collision_result(const lab_hash& h, const check_set& set, uint64_t count, double n, int bits,
                              const char* part) {
    check_result r;
    r.hash = h.name;
    r.family = set.family;
    r.set = set.given;
    r.statistic = static_cast<double>(count);
    r.expected = ideal_collisions(n, std::ldexp(1.0, bits));
    r.bits = bits;
    r.part = part;
    r.log2_p = poisson_tail_log2(r.statistic, r.expected);
    const std::string where = std::string(part) == "all" ? format("all %d bits", bits) : format("the %s %d bits", part, bits);
    r.finding = with_commas(count) + " collisions in " + where + " where " + format("%.3g", r.expected) + " are expected";
    return r;
}

// ---- What the worst of a test's results is worth ------------------------------------------------
// A test keeps the worst of results that overlap: a window shares bits with its neighbours and with
// its narrower self, the collisions at one width hold those of the next. The worst of N overlapping
// results surprises less than the worst of N independent ones, so Sidak's correction with N itself
// would crowd a random function's corrected p-values towards 1. Each test's worst is judged instead
// against runs of the same test simulated under the ideal hash, from the same model its p-values come from,
// and a result's corrected p is the share of those runs whose worst was as bad (see corrected_log2).

constexpr int simulated_runs = 2001;

// The smallest log2 p of each simulated run, sorted.
std::vector<double> sorted_log2(std::vector<double> smallest) {
    std::sort(smallest.begin(), smallest.end());
    return smallest;
}

const std::vector<double>& simulated_windows(int width, int widest) {
    static std::mutex lock;
    static std::map<std::pair<int, int>, std::vector<double>> simulated;
    const std::lock_guard<std::mutex> hold(lock);
    if (const auto known = simulated.find({width, widest}); known != simulated.end()) return known->second;
    // A b-bit window's chi-square is the sum of the squared Walsh coefficients of the 2^b - 1
    // non-empty sets of its bits, independent under the ideal hash and each chi-square with one
    // degree of freedom. The sets from bit l to bit m (both in) add up to a chi-square with
    // 2^(m-l-1) degrees of freedom (1 when l = m), independent of every other such group, and a
    // window's chi-square is the sum of the groups inside it.
    std::mt19937_64 random(static_cast<uint64_t>(width) << 8 | static_cast<uint64_t>(widest));
    std::vector<double> group(static_cast<std::size_t>(width * widest)), smallest;
    for (int run = 0; run < simulated_runs; ++run) {
        for (int l = 0; l < width; ++l)
            for (int span = 0; span < widest; ++span)
                group[l * widest + span] = std::chi_squared_distribution<double>(span == 0 ? 1 : std::ldexp(1.0, span - 1))(random);
        std::vector<double> largest(widest + 1, 0);
        for (int first = 0; first < width; ++first) {
            double chi2 = 0;
            for (int bits = 1; bits <= widest; ++bits) {
                const int last = first + bits - 1;
                for (int l = first; l <= last; ++l) chi2 += group[(l % width) * widest + (last - l)];
                largest[bits] = std::max(largest[bits], chi2);
            }
        }
        double worst = 0;
        for (int bits = 1; bits <= widest; ++bits) worst = std::min(worst, chi_square_tail_log2(largest[bits], std::ldexp(1.0, bits) - 1));
        smallest.push_back(worst);
    }
    return simulated[{width, widest}] = sorted_log2(smallest);
}

// `expected`: the ideal count at each tested width, narrowest first. The pairs that collide in
// b + 1 bits are those colliding in b whose next bit agrees, so from the narrowest width on the
// counts are a Poisson count thinned step by step. The high and the low bits are taken as
// independent: a pair colliding in both collides at nearly full width, which is rare wherever
// these widths are tested.
std::vector<double> simulated_truncated(const std::vector<double>& expected) {
    std::mt19937_64 random(expected.size());
    // p-values of the counts an ideal hash gives, computed once per count.
    std::vector<std::map<uint64_t, double>> tail(expected.size());
    const auto p_of = [&](std::size_t i, uint64_t count) {
        const auto [at, fresh] = tail[i].try_emplace(count, 0.0);
        if (fresh) at->second = poisson_tail_log2(static_cast<double>(count), expected[i]);
        return at->second;
    };
    std::vector<double> smallest;
    for (int run = 0; run < simulated_runs; ++run) {
        double worst = 0;
        for (int side = 0; side < 2; ++side) {
            uint64_t count = std::poisson_distribution<uint64_t>(expected[0])(random);
            for (std::size_t i = 0; i < expected.size(); ++i) {
                if (i > 0) count = std::binomial_distribution<uint64_t>(count, expected[i] / expected[i - 1])(random);
                worst = std::min(worst, p_of(i, count));
            }
        }
        smallest.push_back(worst);
    }
    return sorted_log2(smallest);
}

}  // namespace

top_bit_collisions::top_bit_collisions(int width) : width_(width), tally_(static_cast<std::size_t>(width) + 1) {}

void top_bit_collisions::add(const std::vector<uint64_t>& sorted) {
    // Neighbours sharing their top L bits but not L + 1 collide at every width up to L.
    // Neighbours share about log2(n) bits, so most steps add to the same few counts: four tallies
    // taken in turn let each add go on without waiting for the last one to the same count.
    const auto shared = [&](uint64_t a, uint64_t b) {
        const uint64_t d = a ^ b;
        return static_cast<std::size_t>(d == 0 ? width_ : __builtin_clzll(d) - (64 - width_));
    };
    if (sorted.empty()) return;
    if (any_) ++tally_[shared(last_, sorted[0])][0];
    std::size_t i = 1;
    for (; i + 4 <= sorted.size(); i += 4)
        for (std::size_t k = 0; k < 4; ++k) ++tally_[shared(sorted[i + k], sorted[i + k - 1])][k];
    for (; i < sorted.size(); ++i) ++tally_[shared(sorted[i], sorted[i - 1])][0];
    last_ = sorted.back();
    any_ = true;
}

std::vector<uint64_t> top_bit_collisions::counts() const {
    std::vector<uint64_t> collisions(width_ + 1, 0);
    for (int b = width_; b >= 0; --b) {
        const auto& t = tally_[static_cast<std::size_t>(b)];
        collisions[b] = t[0] + t[1] + t[2] + t[3] + (b < width_ ? collisions[b + 1] : 0);
    }
    return collisions;
}

std::vector<uint64_t> collisions_in_top_bits(const std::vector<uint64_t>& sorted, int width) {
    top_bit_collisions c(width);
    c.add(sorted);
    return c.counts();
}

namespace {
// The thread's buffers, kept from set to set as the values' own are, and made at their largest
// from the start: grown step by step, each step is fresh memory for the kernel to fault in.
std::vector<uint64_t> reserved(std::size_t size) {
    std::vector<uint64_t> buffer;
    buffer.reserve(size);
    return buffer;
}
std::vector<uint64_t>& sample_buffer() {
    thread_local std::vector<uint64_t> sample = reserved(window_sample + 1);
    return sample;
}
std::vector<uint64_t>& part_buffer() {
    thread_local std::vector<uint64_t> part = reserved(largest_difference_part);
    return part;
}

// Differences are split into parts by their leading 8 bits: the top 8, or the low 8 reversed.
constexpr int prefix_bits = 8;
using prefix_counts = std::array<std::size_t, std::size_t{1} << prefix_bits>;

template <bool Low>
std::size_t prefix(uint64_t d, int width) {
    return Low ? static_cast<std::size_t>(reversed(d & 0xFF, prefix_bits)) : static_cast<std::size_t>(d >> (width - prefix_bits));
}

// The differences of values `step` apart whose prefix is in [first, last), into `part`.
template <bool Low>
void take_part(const std::vector<uint64_t>& values, std::size_t step, int width, std::size_t first, std::size_t last,
               std::size_t size, std::vector<uint64_t>& part) {
    const std::size_t n = values.size() - step;
    const uint64_t* v = values.data();
    part.resize(size + 1);
    uint64_t* out = part.data();
    std::size_t kept = 0;
    // Stored whether kept or not, so that the loop has no branch.
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t d = v[i] ^ v[i + step];
        out[kept] = d;
        kept += prefix<Low>(d, width) - first < last - first;
    }
    part.resize(kept);
}

// The collisions by width of the differences in one view, from parts of at most `largest` of them
// (a prefix more crowded than that is a part of its own), each sorted and counted in turn.
template <bool Low>
std::vector<uint64_t> collisions_in_parts(const std::vector<uint64_t>& values, std::size_t step, int width,
                                          const prefix_counts& counts, std::size_t largest, std::vector<uint64_t>& part) {
    top_bit_collisions tally(width);
    for (std::size_t first = 0; first < counts.size();) {
        std::size_t last = first, size = 0;
        while (last < counts.size() && (last == first || size + counts[last] <= largest)) size += counts[last++];
        take_part<Low>(values, step, width, first, last, size, part);
        if (Low) reverse_each(part, width);
        sort_values(part);
        tally.add(part);
        first = last;
    }
    return tally.counts();
}
}  // namespace

tested_values::tested_values(const lab_hash& h, const check_set& s, std::vector<uint64_t>& values, std::size_t step,
                             std::size_t largest_part)
    : hash(h), set(s), values_(values), step_(step), largest_part_(largest_part), sample_(sample_buffer()) {
    const std::size_t n = values.size() - step;
    const std::size_t stride = std::max<std::size_t>((n + window_sample - 1) / window_sample, 1);
    sample_.clear();
    for (std::size_t i = 0; i < n; i += stride) sample_.push_back(values[i] ^ (step == 0 ? 0 : values[i + step]));
}

const std::vector<uint64_t>& tested_values::collisions_by_width(bool low_bits_first) {
    std::vector<uint64_t>& counted = low_bits_first ? low_collisions_ : high_collisions_;
    if (!counted.empty()) return counted;
    if (step_ == 0) return counted = collisions_in_top_bits(sorted(values_, values_order_, low_bits_first), hash.width);
    const int width = hash.width;
    const std::size_t n = values_.size() - step_;
    std::vector<uint64_t>& part = part_buffer();
    if (n <= largest_part_) {
        // One part: the differences are made once, and the other view reverses them as the values'.
        if (!part_order_) {
            part.resize(n);
            for (std::size_t i = 0; i < n; ++i) part[i] = values_[i] ^ values_[i + step_];
            part_order_ = in_order;
        }
        return counted = collisions_in_top_bits(sorted(part, *part_order_, low_bits_first), width);
    }
    // The differences are made again for each part, from the values kept in order: the part's
    // buffer holds a fraction of them where a copy of them all doubled a set's memory.
    if (prefixes_.empty()) {
        prefixes_.assign(2 * prefix_counts().size(), 0);  // the top bits' counts, then the low bits'
        for (std::size_t i = 0; i < n; ++i) {
            const uint64_t d = values_[i] ^ values_[i + step_];
            ++prefixes_[prefix<false>(d, width)];
            ++prefixes_[prefix_counts().size() + prefix<true>(d, width)];
        }
    }
    prefix_counts counts;
    std::copy_n(prefixes_.begin() + (low_bits_first ? counts.size() : 0), counts.size(), counts.begin());
    return counted = low_bits_first ? collisions_in_parts<true>(values_, step_, width, counts, largest_part_, part)
                                    : collisions_in_parts<false>(values_, step_, width, counts, largest_part_, part);
}

const std::vector<uint64_t>& tested_values::sorted(std::vector<uint64_t>& v, order& now, bool reversed_first) const {
    const order wanted = reversed_first ? low_first : high_first;
    if (now == wanted) return v;
    // Reversing twice is the identity: from low_first back to high_first it undoes itself.
    if (reversed_first || now == low_first) reverse_each(v, hash.width);
    sort_values(v);
    now = wanted;
    return v;
}

namespace {

std::optional<check_result> full_width_collisions(tested_values& v) {
    const int width = v.hash.width;
    const std::vector<uint64_t>& high = v.collisions_by_width(false);
    check_result r = collision_result(v.hash, v.set, high[width], v.size(), width, "all");
    r.log2_p_corrected = r.log2_p;
    return r;
}

// From where the ideal hash expects a handful of collisions to where it expects about a hundred,
// in the high bits and in the low bits.
std::optional<check_result> truncated_collisions(tested_values& v) {
    const int width = v.hash.width;
    const double n = v.size();
    std::vector<int> widths;
    for (int b = width - 1; b >= 1; --b) {
        const double expected = ideal_collisions(n, std::ldexp(1.0, b));
        if (expected > 128) break;
        if (expected >= 4) widths.push_back(b);
    }
    if (widths.empty()) return std::nullopt;
    const std::vector<uint64_t>& high = v.collisions_by_width(false);
    const std::vector<uint64_t>& low = v.collisions_by_width(true);
    check_result worst;
    worst.log2_p = 1;
    for (int b : widths)
        for (const auto& [histogram, part] : {std::pair{&high, "high"}, std::pair{&low, "low"}}) {
            check_result r = collision_result(v.hash, v.set, (*histogram)[b], n, b, part);
            if (r.log2_p < worst.log2_p) worst = r;
        }
    worst.looked_at = 2.0 * static_cast<double>(widths.size());
    std::vector<double> expected;
    for (auto b = widths.rbegin(); b != widths.rend(); ++b) expected.push_back(ideal_collisions(n, std::ldexp(1.0, *b)));
    worst.log2_p_corrected = corrected_log2(worst.log2_p, worst.looked_at, simulated_truncated(expected));
    return worst;
}

// The worst window of output bits, on an even sample of the values in the set's order.
std::optional<check_result> windows(tested_values& v) {
    const int width = v.hash.width;
    const std::vector<uint64_t>& sample = v.sample_in_order();
    check_result window;
    window.hash = v.hash.name;
    window.family = v.set.family;
    window.set = v.set.given;
    window.log2_p = 1;
    double looked_at = 0;
    for_each_window(sample, width, [&](int first, int bits, double chi2) {
        ++looked_at;
        const double df = std::ldexp(1.0, bits) - 1, log2_p = chi_square_tail_log2(chi2, df);
        if (log2_p < window.log2_p) {
            window.log2_p = log2_p;
            window.statistic = chi2;
            window.expected = df;
            window.bits = bits;
            window.part = format("bits %d..%d", first, (first + bits - 1) % width);
        }
    });
    if (looked_at == 0) return std::nullopt;
    window.looked_at = looked_at;
    window.log2_p_corrected = corrected_log2(window.log2_p, looked_at, simulated_windows(width, widest_window(sample.size())));
    window.finding = format("output %s unevenly spread: chi-square %.0f on %.0f degrees of freedom", window.part.c_str(),
                            window.statistic, window.expected);
    return window;
}

}  // namespace

const std::vector<value_test>& value_tests() {
    static const std::vector<value_test> tests = {
        {"collisions", "a Poisson count with the ideal hash's mean", full_width_collisions},
        {"truncated collisions", "Poisson counts, each width's thinned from the narrower one's, high and low bits apart",
         truncated_collisions},
        {"windows", "chi-squares of a window's bits, built from independent groups of Walsh coefficients", windows},
    };
    return tests;
}

std::vector<check_result> test_values(const lab_hash& h, const check_set& set, std::vector<uint64_t>& values,
                                       std::size_t step, std::size_t largest_part) {
    tested_values tested(h, set, values, step, largest_part);
    std::vector<check_result> results;
    for (const auto& test : value_tests())
        if (std::optional<check_result> r = test.run(tested)) {
            r->test = test.name;
            results.push_back(std::move(*r));
        }
    return results;
}

}  // namespace lab::check
