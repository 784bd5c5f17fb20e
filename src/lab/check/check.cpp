#include "check/check.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

#include "check/bit_flips.h"
#include "hashes.h"
#include "core/keys.h"
#include "core/measures.h"
#include "core/parallel.h"
#include "core/stats.h"
#include "core/text.h"

namespace {

// Windows are counted on at most this many values, taken at an even stride from the set: 64
// values a bin for the widest window, and a set's windows cost a second or less.
constexpr std::size_t window_sample = std::size_t{1} << 22;

// The seed families hash one sentence-length key (the run's --seed written after it, so that runs
// with different seeds test different keys), or small keys, under many seeds.
std::string seed_key(uint64_t run_seed) { return std::string(known_answer_key) + " " + std::to_string(run_seed); }

std::string p_text(double log2_p) {
    if (log2_p > -10) return format("p = %.3g", std::exp2(log2_p));
    return format("p < 2^%.0f", std::ceil(log2_p));
}

// A key family's set: its count from the family's closed form, and the family's note with the
// parameters' values in place of their names.
check_set key_set_of(const std::string& given) {
    family_args args;
    const key_family& family = parse_family(given, args);
    check_set set{family.name, given, family.note, family.count != nullptr ? family.count(args) : 0,
                  family.name.rfind("text-", 0) != 0 && family.name != "words"};
    std::vector<std::string> names = family.parameters;
    if (family.default_count != 0) names.push_back("N");
    for (std::size_t i = 0; i < names.size() && i < args.numbers.size(); ++i)
        for (std::size_t at; (at = set.about.find(names[i])) != std::string::npos;)
            set.about.replace(at, names[i].size(), with_commas(args.numbers[i]));
    return set;
}

// Each input bit is flipped in as many keys as a budget of flips a set allows, up to a cap.
check_set flip_set(const lab_hash& h, std::size_t length, bool quick) {
    const uint64_t inputs = input_bits(h, length).size();
    const uint64_t samples = std::clamp<uint64_t>((quick ? 1 << 18 : 1 << 21) / inputs, 1 << 12, quick ? 1 << 14 : 1 << 17);
    check_set set{length == 0 ? "seed-bit-flips" : "bit-flips", length == 0 ? "seed-bit-flips" : format("bit-flips:%zu", length),
                  "", samples * inputs, false, length, samples};
    const std::string what = length == 0 ? "random 16-byte keys under random seeds, each of the " + std::to_string(inputs) + " seed bits"
                                         : format("random keys of %zu bytes, each of %s bits", length,
                                                  (inputs == 8 * length ? "their " + std::to_string(inputs) : std::string("the first and last 256")).c_str());
    set.about = what + " flipped in " + with_commas(samples) + " of them";
    return set;
}

check_set seed_set(const std::string& family, uint64_t a, uint64_t b, int seed_bits) {
    if (family == "seed-sweep")
        return {family, format("seed-sweep:%llu", (unsigned long long)a),
                "a sentence-length key under seeds 0 to " + with_commas(a - 1), a, false};
    if (family == "seed-grid")
        return {family, format("seed-grid:%llu:%llu", (unsigned long long)a, (unsigned long long)b),
                "2-byte keys 0 to " + with_commas(a - 1) + " under seeds 0 to " + with_commas(b - 1), a * b, true};
    return {family, format("seed-sparse:%llu", (unsigned long long)a),
            "a sentence-length key under every " + std::to_string(seed_bits) + "-bit seed with at most " +
                std::to_string(a) + " bits set",
            key_set_of(format("sparse:%d:%llu", seed_bits, (unsigned long long)a)).count, false};  // as many as sparse keys
}

// Calls visit(key) for every key of a key family's set, in order, the words' too.
void each_key_of(const check_set& set, uint64_t seed, const key_visit& visit) {
    if (set.family == "words") {
        const key_set words = make_key_set("words", seed);
        for (std::size_t i = 0; i < words.size(); ++i) visit(words.key(i));
    } else {
        for_each_key(set.given, seed, visit);
    }
}

}  // namespace

const std::vector<check_family>& check_families() {
    static const std::vector<check_family> families = {
        {"zeroes", "all-zero keys of every length", false},
        {"sparse", "keys with few bits set, from 16 to 2048 bits", false},
        {"two-bytes", "keys with one or two non-zero bytes, by length", false},
        {"blocks-low", "sequences of blocks using only their low bits", false},
        {"blocks-high", "sequences of blocks using only their high bits", false},
        {"blocks-top-bit", "sequences of blocks that are 0 or the top bit", false},
        {"blocks-01", "sequences of blocks that are 0 or 1", false},
        {"cyclic", "a random block repeated 8 times, blocks near the hash's width", false},
        {"text-between", "4 letters or digits between fixed text", false},
        {"text-first", "4 letters or digits before fixed text", false},
        {"text-last", "4 letters or digits after fixed text", false},
        {"words", "the system word list", false},
        {"bit-flips", "random keys by length, every input bit flipped: avalanche, bit independence, differences", false},
        {"seed-sweep", "one key under consecutive seeds", true},
        {"seed-grid", "small keys under small seeds: seeding that adds or xors the seed in", true},
        {"seed-sparse", "one key under seeds with few bits set", true},
        {"seed-bit-flips", "random keys under random seeds, every seed bit flipped", true},
    };
    return families;
}

std::vector<check_set> battery(const lab_hash& h, bool quick, const std::vector<std::string>& families) {
    const auto wanted = [&](const std::string& f) {
        return families.empty() || std::find(families.begin(), families.end(), f) != families.end();
    };
    std::vector<check_set> sets;
    const auto keys = [&](const std::string& family, const std::vector<std::string>& full,
                          const std::vector<std::string>& small) {
        if (!wanted(family)) return;
        for (const auto& given : quick ? small : full) sets.push_back(key_set_of(given));
    };
    keys("zeroes", {"zeroes:200000"}, {"zeroes:20000"});
    keys("sparse",
         {"sparse:16:9", "sparse:24:8", "sparse:32:7", "sparse:40:6", "sparse:48:6", "sparse:56:5", "sparse:64:5",
          "sparse:96:4", "sparse:160:4", "sparse:256:3", "sparse:512:3", "sparse:1024:2", "sparse:2048:2"},
         {"sparse:16:9", "sparse:32:5", "sparse:64:4", "sparse:256:2", "sparse:1024:2"});
    keys("two-bytes", {"two-bytes:1:8", "two-bytes:9:12", "two-bytes:13:16", "two-bytes:17:20"}, {"two-bytes:1:6"});
    for (const char* set : {"blocks-low", "blocks-high"})
        keys(set, {std::string(set) + ":4:7", std::string(set) + ":8:6"}, {std::string(set) + ":4:5"});
    for (const char* set : {"blocks-top-bit", "blocks-01"})
        keys(set, {std::string(set) + ":4:20", std::string(set) + ":8:20"}, {std::string(set) + ":8:14"});
    const int bytes = h.width / 8;
    std::vector<std::string> cyclic_full, cyclic_quick;
    for (int extra : {0, 1, 2, 3, 4, 8}) cyclic_full.push_back(format("cyclic:%d:1000000", bytes + extra));
    for (int extra : {0, 1, 4}) cyclic_quick.push_back(format("cyclic:%d:100000", bytes + extra));
    keys("cyclic", cyclic_full, cyclic_quick);
    for (const char* set : {"text-between", "text-first", "text-last"})
        keys(set, {std::string(set) + ":4"}, {std::string(set) + ":3"});
    keys("words", {"words"}, {"words"});
    if (!sets.empty() && sets.back().family == "words") sets.back().count = make_key_set("words", 0).size();
    if (wanted("bit-flips"))
        for (std::size_t length : quick ? std::vector<std::size_t>{3, 8, 16, 64}
                                        : std::vector<std::size_t>{3, 4, 8, 11, 15, 16, 24, 32, 64, 128, 256, 1024})
            sets.push_back(flip_set(h, length, quick));
    if (h.seed_bits != 0) {
        if (wanted("seed-sweep")) sets.push_back(seed_set("seed-sweep", quick ? 100'000 : 2'000'000, 0, h.seed_bits));
        if (wanted("seed-grid")) sets.push_back(seed_set("seed-grid", quick ? 1024 : 4096, quick ? 1024 : 4096, h.seed_bits));
        if (wanted("seed-sparse"))
            sets.push_back(seed_set("seed-sparse", h.seed_bits == 64 ? (quick ? 3 : 4) : (quick ? 4 : 6), 0, h.seed_bits));
        if (wanted("seed-bit-flips")) sets.push_back(flip_set(h, 0, quick));
    }
    return sets;
}

namespace {

// Calls use(key, seed) for every key and seed of a seed family, in order.
template <class Use>
void seed_pairs(const check_set& set, int seed_bits, uint64_t run_seed, Use use) {
    const std::string key_text = seed_key(run_seed);
    const std::string_view sentence(key_text);
    if (set.family == "seed-sweep") {
        for (uint64_t s = 0; s < set.count; ++s) use(sentence, s);
    } else if (set.family == "seed-grid") {
        const uint64_t keys = std::stoull(set.given.substr(set.given.find(':') + 1));
        const uint64_t seeds = set.count / keys;
        char key[3] = {};
        for (uint64_t k = 0; k < keys; ++k) {
            key[0] = static_cast<char>(k & 0xFF);
            key[1] = static_cast<char>(k >> 8);
            for (uint64_t s = 0; s < seeds; ++s) use(std::string_view(key, 2), s);
        }
    } else {
        // Seeds with at most K of seed_bits bits set: combinations of K positions, as sparse keys.
        const uint64_t most = std::stoull(set.given.substr(set.given.find(':') + 1));
        std::vector<int> bits;
        const auto emit = [&](const auto& self, int from, uint64_t seed, uint64_t left) -> void {
            use(sentence, seed);
            if (left == 0) return;
            for (int b = from; b < seed_bits; ++b) self(self, b + 1, seed | (uint64_t{1} << b), left - 1);
        };
        emit(emit, 0, 0, most);
    }
}

}  // namespace

std::vector<uint64_t> hash_set(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<uint64_t> values;
    values.reserve(set.count);
    const auto add = [&](std::string_view key, uint64_t s) { values.push_back(h(key.data(), key.size(), s)); };
    if (set.family.rfind("seed-", 0) == 0) {
        seed_pairs(set, h.seed_bits, seed, add);
    } else {
        each_key_of(set, seed, [&](std::string_view key) { add(key, seed); });
    }
    return values;
}

namespace {

uint64_t reversed(uint64_t v, int width) {
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
    return __builtin_bswap64(v) >> (64 - width);
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

std::vector<uint64_t> collisions_in_top_bits(const std::vector<uint64_t>& sorted, int width) {
    // Neighbours sharing their top L bits but not L + 1 collide at every width up to L.
    std::vector<uint64_t> collisions(width + 1, 0);
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const uint64_t d = sorted[i] ^ sorted[i - 1];
        ++collisions[d == 0 ? width : __builtin_clzll(d) - (64 - width)];
    }
    for (int b = width - 1; b >= 0; --b) collisions[b] += collisions[b + 1];
    return collisions;
}

std::vector<check_result> test_values(const lab_hash& h, const check_set& set, std::vector<uint64_t>& values) {
    const int width = h.width;
    const double n = static_cast<double>(values.size());
    std::vector<check_result> results;

    // Windows first, on an even sample of the values in the set's order.
    std::vector<uint64_t> sample;
    const std::size_t stride = (values.size() + window_sample - 1) / window_sample;
    for (std::size_t i = 0; i < values.size(); i += std::max<std::size_t>(stride, 1)) sample.push_back(values[i]);
    check_result window;
    window.hash = h.name;
    window.family = set.family;
    window.set = set.given;
    window.test = "windows";
    window.log2_p = 1;
    double windows = 0;
    for_each_window(sample, width, [&](int first, int bits, double chi2) {
        ++windows;
        const double df = std::ldexp(1.0, bits) - 1, log2_p = chi_square_tail_log2(chi2, df);
        if (log2_p < window.log2_p) {
            window.log2_p = log2_p;
            window.statistic = chi2;
            window.expected = df;
            window.bits = bits;
            window.part = format("bits %d..%d", first, (first + bits - 1) % width);
        }
    });

    radix_sort(values, width);
    const std::vector<uint64_t> high = collisions_in_top_bits(values, width);
    results.push_back(collision_result(h, set, high[width], n, width, "all"));
    results.back().test = "collisions";

    // From where the ideal hash expects a handful of collisions to where it expects about a hundred.
    std::vector<int> widths;
    for (int b = width - 1; b >= 1; --b) {
        const double expected = ideal_collisions(n, std::ldexp(1.0, b));
        if (expected > 128) break;
        if (expected >= 4) widths.push_back(b);
    }
    if (!widths.empty()) {
        for (uint64_t& v : values) v = reversed(v, width);
        radix_sort(values, width);
        const std::vector<uint64_t> low = collisions_in_top_bits(values, width);
        check_result worst;
        worst.log2_p = 1;
        for (int b : widths)
            for (const auto& [histogram, part] : {std::pair{&high, "high"}, std::pair{&low, "low"}}) {
                check_result r = collision_result(h, set, (*histogram)[b], n, b, part);
                if (r.log2_p < worst.log2_p) worst = r;
            }
        worst.test = "truncated collisions";
        worst.looked_at = 2.0 * static_cast<double>(widths.size());
        std::vector<double> expected;
        for (auto b = widths.rbegin(); b != widths.rend(); ++b) expected.push_back(ideal_collisions(n, std::ldexp(1.0, *b)));
        worst.log2_p_corrected = corrected_log2(worst.log2_p, worst.looked_at, simulated_truncated(expected));
        results.push_back(worst);
    }

    if (windows > 0) {
        window.looked_at = windows;
        window.log2_p_corrected = corrected_log2(window.log2_p, windows, simulated_windows(width, widest_window(sample.size())));
        window.finding = format("output %s unevenly spread: chi-square %.0f on %.0f degrees of freedom",
                                window.part.c_str(), window.statistic, window.expected);
        results.push_back(window);
    }
    results.front().log2_p_corrected = results.front().log2_p;
    return results;
}

bool flips_bits(const check_set& set) { return set.family == "bit-flips" || set.family == "seed-bit-flips"; }

namespace {

// The worst cell and pair of a bit-flip set as results, then the battery's tests on the differences.
std::vector<check_result> flip_results(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<uint64_t> differences;
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

// The tests of a key set or seed family, with the keys a text hash merges at their first NUL.
std::vector<check_result> key_set_results(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<check_result> results;
    {
        std::vector<uint64_t> values = hash_set(h, set, seed);
        results = test_values(h, set, values);
    }  // the values freed before the NUL count takes its own
    if (h.stops_at_nul && set.may_hold_nul) {
        const uint64_t merged = merged_at_nul([&](const key_visit& visit) { each_key_of(set, seed, visit); });
        for (auto& r : results) r.nul_merged = merged;
    }
    return results;
}

}  // namespace

double fail_threshold_log2(int results) { return std::log2(0.001 / std::max(results, 1)); }
double warn_threshold_log2(int results) { return std::log2(0.01 / std::max(results, 1)); }

std::vector<check_verdict> verdicts(const std::vector<std::string>& hashes, const std::vector<check_result>& results) {
    std::vector<check_verdict> all;
    for (const auto& name : hashes) {
        check_verdict v;
        v.hash = name;
        v.verdict = "PASS";
        for (const auto& r : results) v.total += r.hash == name;
        v.fail_log2 = fail_threshold_log2(v.total);
        v.warn_log2 = warn_threshold_log2(v.total);
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
    std::string text = r.set + ": " + r.finding + ", " + p_text(r.log2_p);
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
            j.results = flips_bits(j.set) ? flip_results(*j.hash, j.set, seed) : key_set_results(*j.hash, j.set, seed);
            ++done;
        },
        [&](std::size_t i) { step(doing(i)); });
    std::vector<check_result> results;
    for (auto& j : jobs) results.insert(results.end(), j.results.begin(), j.results.end());
    return results;
}
