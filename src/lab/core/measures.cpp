#include "core/measures.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <string_view>

#include <hwy/contrib/sort/vqsort.h>
#include <xxhash.h>

#include "core/bits.h"

namespace lab {

// ---- The ideal hash ----------------------------------------------------------------------------
//
// Long double, and the forms below, because m may be 2^64: 1 - (1 - 1/m)^n written plainly would
// lose every digit of an expectation of 7e-7.

namespace {

using real = long double;

// (1 - 1/m)^n, the chance that a given bin stays empty.
real stays_empty(real n, real m) { return std::exp(n * std::log1p(-1 / m)); }

}  // namespace

double ideal_empty(double n, double m) { return static_cast<double>(m * stays_empty(n, m)); }

double ideal_empty_sd(double n, double m) {
    // Var = m (q1 - q2) + m^2 (q2 - q1^2), q1 = (1 - 1/m)^n, q2 = (1 - 2/m)^n, each difference
    // rewritten as an expm1 of a small exponent; for large m that exponent comes from its series.
    const real q1 = stays_empty(n, m);
    const real mm = m;
    const real delta = mm < 1048576 ? std::log1p(-2 / mm) - 2 * std::log1p(-1 / mm)
                                    : -1 / (mm * mm) - 2 / (mm * mm * mm);
    const real var = -mm * q1 * std::expm1(n * std::log1p(-1 / (mm - 1))) + mm * mm * q1 * q1 * std::expm1(n * delta);
    return static_cast<double>(std::sqrt(std::max(var, real{0})));
}

double ideal_collisions(double n, double m) {
    if (n / m >= 0.01) return static_cast<double>(n - m * -std::expm1(n * std::log1p(-1 / real{m})));
    // Sparse: sum over k >= 2 of m C(n, k) (-1/m)^k, whose first term is n(n-1)/2m.
    real term = real{n} * (n - 1) / (2 * real{m}), sum = 0;
    for (int k = 2; term != 0 && std::fabs(term) > 1e-18L * std::fabs(sum); ++k) {
        sum += term;
        term *= -(n - k) / ((k + 1) * real{m});
    }
    return static_cast<double>(sum);
}

double ideal_longest(double n, double m) {
    // E[max] = sum over k >= 1 of P(max >= k) = 1 - P(X < k)^m, with X ~ Poisson(n / m).
    const real lambda = n / m;
    const int last = static_cast<int>(lambda + 20 * std::sqrt(lambda) + 60);
    // tail[k] = P(X >= k), summed from the far end so the small tails keep their digits.
    std::vector<real> tail(last + 2, 0);
    for (int k = 0; k <= last; ++k) tail[k] = std::exp(k * std::log(lambda) - lambda - std::lgamma(k + real{1}));
    for (int k = last - 1; k >= 0; --k) tail[k] += tail[k + 1];
    real expected = 0;
    for (int k = 1; k <= last; ++k) expected += -std::expm1(m * std::log1p(-tail[k]));
    return static_cast<double>(expected);
}

// ---- Collisions --------------------------------------------------------------------------------

// Highway's vectorised quicksort, in place, with no buffer: on 2^18 to 2^22 random 64-bit values
// here, 3.6 to 5.0 ns a value where the six-pass radix sort it replaced took 5.6 to 19.7.
void sort_values(std::vector<uint64_t>& values) {
    thread_local hwy::Sorter sorter;
    if (values.size() > 1) sorter(values.data(), values.size(), hwy::SortAscending());
}

collisions count_collisions(std::vector<uint64_t>& values, int bits) {
    const uint64_t mask = low_bits(bits);
    for (uint64_t& v : values) v &= mask;
    sort_values(values);
    collisions c;
    c.distinct = values.empty() ? 0 : 1;
    for (std::size_t i = 1; i < values.size(); ++i) c.distinct += values[i] != values[i - 1];
    c.count = values.size() - c.distinct;
    const double n = static_cast<double>(values.size()), m = std::ldexp(1.0, bits);
    c.ideal = ideal_collisions(n, m);
    c.ratio = c.ideal > 0 ? static_cast<double>(c.count) / c.ideal : 0;
    const double sd = ideal_empty_sd(n, m);  // collisions = n - m + empty bins
    c.sigmas = sd > 0 ? (static_cast<double>(c.count) - c.ideal) / sd : 0;
    return c;
}

// ---- Table spread ------------------------------------------------------------------------------

uint64_t power_of_two_near(uint64_t n) {
    uint64_t p = 1;
    while (p * 2 <= n) p *= 2;
    return static_cast<double>(n) * n >= 2.0 * p * p ? p * 2 : p;  // nearer on a log scale
}

uint64_t prime_at_least(uint64_t n) {
    for (uint64_t candidate = std::max<uint64_t>(n, 2);; ++candidate) {
        bool prime = true;
        for (uint64_t d = 2; d * d <= candidate && prime; ++d) prime = candidate % d != 0;
        if (prime) return candidate;
    }
}

table_spread spread(const std::vector<uint64_t>& values, uint64_t buckets) {
    std::vector<uint32_t> chain(buckets);
    if ((buckets & (buckets - 1)) == 0) {
        for (uint64_t v : values) ++chain[v & (buckets - 1)];
    } else {
        for (uint64_t v : values) ++chain[v % buckets];
    }
    table_spread s;
    s.buckets = buckets;
    const auto empty = static_cast<double>(std::count(chain.begin(), chain.end(), 0u));
    const double n = static_cast<double>(values.size()), m = static_cast<double>(buckets);
    s.empty = empty / m;
    s.ideal_empty = ideal_empty(n, m) / m;
    const double sd = ideal_empty_sd(n, m);
    s.empty_sigmas = sd > 0 ? (empty - ideal_empty(n, m)) / sd : 0;
    s.longest = *std::max_element(chain.begin(), chain.end());
    s.ideal_longest = ideal_longest(n, m);
    return s;
}

// ---- Windows of output bits --------------------------------------------------------------------

int widest_window(std::size_t n) {
    int widest = 0;
    while (widest < 16 && (n >> (widest + 1)) >= 8) ++widest;
    return widest;
}

void for_each_window(const std::vector<uint64_t>& values, int width,
                     const std::function<void(int first_bit, int bits, double chi_square)>& use) {
    const std::size_t n = values.size();
    const int widest = widest_window(n);
    if (widest == 0) return;
    // One pass over the values counts a window a few bits wider than the widest, which holds the
    // widest windows at as many first bits: a third of the passes, each into a table the core's
    // cache still holds (32-bit counts: a sample is far below 2^32 values).
    constexpr int firsts_a_pass = 3;
    std::vector<uint32_t> wide, count(std::size_t{1} << widest);
    for (int pass_first = 0; pass_first < width; pass_first += firsts_a_pass) {
        const int firsts = std::max(1, std::min({firsts_a_pass, width - pass_first, width - widest + 1}));
        const int wide_bits = widest + firsts - 1;
        wide.assign(std::size_t{1} << wide_bits, 0);
        const uint64_t wide_mask = low_bits(wide_bits);
        if (pass_first == 0) {
            for (uint64_t v : values) ++wide[v & wide_mask];
        } else if (width == 64) {  // written so that the compiler makes it one rotate: 14 % off this loop
            for (uint64_t v : values) ++wide[((v >> pass_first) | (v << ((64 - pass_first) & 63))) & wide_mask];
        } else {
            const int back = width - pass_first;
            for (uint64_t v : values) ++wide[((v >> pass_first) | (v << back)) & wide_mask];
        }
        for (int j = 0; j < firsts; ++j) {
            const int first = pass_first + j;
            std::fill(count.begin(), count.end(), 0);
            for (std::size_t x = 0; x < wide.size(); ++x) count[(x >> j) & (count.size() - 1)] += wide[x];
            // The counts of a narrower window at the same first bit are the wider one's, folded.
            for (int bits = widest; bits >= 1; --bits) {
                const std::size_t bins = std::size_t{1} << bits;
                const double expected = static_cast<double>(n) / bins;
                // The sum of (c - e)^2 / e with the division once, in four running parts: a division
                // and an add waiting on the last one, for every bin, made this the windows' costliest
                // loop.
                const auto square = [&](std::size_t k) { return (count[k] - expected) * (count[k] - expected); };
                double a = 0, b = 0, c = 0, d = 0;
                std::size_t k = 0;
                for (; k + 4 <= bins; k += 4) {
                    a += square(k);
                    b += square(k + 1);
                    c += square(k + 2);
                    d += square(k + 3);
                }
                for (; k < bins; ++k) a += square(k);  // two bins
                use(first, bits, (a + b + c + d) / expected);
                for (std::size_t k = 0; k < bins / 2; ++k) count[k] += count[k + bins / 2];
            }
        }
    }
}

window_bias worst_window(const std::vector<uint64_t>& values, int width) {
    window_bias worst;
    for_each_window(values, width, [&](int first, int bits, double chi2) {
        // Wilson and Hilferty: the cube root of chi-square / df is nearly normal.
        const double df = std::ldexp(1.0, bits) - 1;
        const double z = (std::cbrt(chi2 / df) - (1 - 2 / (9 * df))) / std::sqrt(2 / (9 * df));
        if (z > worst.sigmas || worst.bits == 0) worst = {first, bits, z};
    });
    return worst;
}

// ---- Avalanche ---------------------------------------------------------------------------------

namespace {

// The |z| that `cells` independent normal deviates all stay under with probability 99.9 %.
double noise_deviate(uint64_t cells) {
    const double tail = 0.001 / static_cast<double>(std::max<uint64_t>(cells, 1));
    double low = 0, high = 40;
    for (int step = 0; step < 100; ++step) {
        const double mid = (low + high) / 2;
        (std::erfc(mid / std::sqrt(2.0)) > tail ? low : high) = mid;
    }
    return high;
}

}  // namespace

avalanche_result avalanche(const lab_hash& h, const key_set& keys, const std::vector<uint64_t>& values,
                           uint64_t samples, uint64_t seed) {
    constexpr std::size_t flips_per_key = 256;
    constexpr std::size_t first_bits = 8 * 1024;
    avalanche_result result;
    const std::size_t n = keys.size();
    samples = std::min<uint64_t>(samples, n);
    result.samples = samples;
    if (samples == 0) return result;

    const auto width = static_cast<std::size_t>(h.width);
    std::vector<uint32_t> trials(first_bits), flips(first_bits * width);
    std::mt19937_64 random(seed);
    std::vector<uint32_t> positions;
    std::string key;
    for (uint64_t s = 0; s < samples; ++s) {
        // One key from each of `samples` equal strides of the set, at a random place in it.
        const std::size_t begin = s * n / samples, end = (s + 1) * n / samples;
        const std::size_t i = begin + random() % (end - begin);
        key.assign(keys.data(i), keys.length(i));
        const uint64_t key_seed = h.seed_of(i, values.data());
        const uint64_t before = h(key.c_str(), key.size(), key_seed);

        positions.resize(std::min(8 * key.size(), first_bits));
        std::iota(positions.begin(), positions.end(), 0u);
        if (positions.size() > flips_per_key) {
            for (std::size_t k = 0; k < flips_per_key; ++k) std::swap(positions[k], positions[k + random() % (positions.size() - k)]);
            positions.resize(flips_per_key);
        }
        for (uint32_t bit : positions) {
            key[bit / 8] = static_cast<char>(key[bit / 8] ^ (1 << (bit % 8)));
            const uint64_t changed = before ^ h(key.c_str(), key.size(), key_seed);
            key[bit / 8] = static_cast<char>(key[bit / 8] ^ (1 << (bit % 8)));
            ++trials[bit];
            for (std::size_t out = 0; out < width; ++out) flips[bit * width + out] += (changed >> out) & 1;
        }
    }

    // Input bits that few keys have (the tail of the longest keys) would only add noise.
    const uint64_t enough = std::max<uint64_t>(samples / 10, 1);
    for (uint32_t t : trials) result.cells += t >= enough ? width : 0;
    const double noise = noise_deviate(result.cells);
    double worst_z = -1;
    for (std::size_t bit = 0; bit < first_bits; ++bit) {
        if (trials[bit] < enough) continue;
        for (std::size_t out = 0; out < width; ++out) {
            const double t = trials[bit];
            const double bias = std::fabs(2.0 * flips[bit * width + out] / t - 1);
            if (bias * std::sqrt(t) > worst_z) {
                worst_z = bias * std::sqrt(t);
                result.worst = 100 * bias;
                result.noise = 100 * noise / std::sqrt(t);
                result.input_bit = static_cast<int>(bit);
                result.output_bit = static_cast<int>(out);
            }
        }
    }
    return result;
}

uint64_t merged_at_nul(const std::function<void(const key_visit&)>& each_key) {
    std::vector<uint64_t> prefixes;
    return merged_at_nul(each_key, prefixes);
}

uint64_t merged_at_nul(const std::function<void(const key_visit&)>& each_key, std::vector<uint64_t>& prefixes) {
    prefixes.clear();
    each_key([&](std::string_view key) { prefixes.push_back(XXH3_64bits(key.data(), std::strlen(key.data()))); });
    return count_collisions(prefixes, 64).count;
}

double ns_per_key(const lab_hash& h, const key_set& keys, std::vector<uint64_t>& out, int repeats) {
    out.resize(keys.size());
    h.hash_all(h, keys, out.data());  // warm-up: caches, page faults of `out`, frequency
    std::vector<double> ns;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        h.hash_all(h, keys, out.data());
        const auto stop = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(keys.size()));
    }
    std::nth_element(ns.begin(), ns.begin() + ns.size() / 2, ns.end());
    return ns[ns.size() / 2];
}

}  // namespace lab
