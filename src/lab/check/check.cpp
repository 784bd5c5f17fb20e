#include "check/check.h"

#include <algorithm>
#include <array>
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

namespace lab::check {

namespace {

// Windows are counted on at most this many values, taken at an even stride from the set: 64
// values a bin for the widest window, and a set's windows cost a second or less.
constexpr std::size_t window_sample = std::size_t{1} << 22;

// The seed families hash one sentence-length key (the run's --seed written after it, so that runs
// with different seeds test different keys), or small keys, under many seeds.
std::string seed_key(uint64_t run_seed) { return std::string(known_answer_key) + " " + std::to_string(run_seed); }

std::string p_text(double log2_p) { return (log2_p > -10 ? "p = " : "p ") + p_value(log2_p); }

// A key family's set: its count from the family's closed form, and the family's note with the
// parameters' values in place of their names.
check_set key_set_of(const std::string& given) {
    family_args args;
    const key_family& family = parse_family(given, args);
    check_set set{family.name, given, family.note, family.count != nullptr ? family.count(args) : 0};
    set.shape = args.numbers;
    std::vector<std::string> names = family.parameters;
    if (family.default_count != 0) names.push_back("N");
    for (std::size_t i = 0; i < names.size() && i < args.numbers.size(); ++i)
        for (std::size_t at; (at = set.about.find(names[i])) != std::string::npos;)
            set.about.replace(at, names[i].size(), with_commas(args.numbers[i]));
    return set;
}

// The sets of a key family: its --keys forms in the default battery and in the quick one.
std::function<std::vector<check_set>(const lab_hash&, bool)> key_sets(std::vector<std::string> full,
                                                                      std::vector<std::string> quick) {
    return [full, quick](const lab_hash&, bool is_quick) {
        std::vector<check_set> sets;
        for (const auto& given : is_quick ? quick : full) sets.push_back(key_set_of(given));
        return sets;
    };
}

// The same for the block families, whose sets differ only in the family's name.
std::function<std::vector<check_set>(const lab_hash&, bool)> block_sets(const std::string& name,
                                                                        std::vector<const char*> full,
                                                                        std::vector<const char*> quick) {
    std::vector<std::string> f, q;
    for (const char* shape : full) f.push_back(name + ":" + shape);
    for (const char* shape : quick) q.push_back(name + ":" + shape);
    return key_sets(f, q);
}

// Cyclic keys repeat a block of the hash's width and a little more.
std::vector<check_set> cyclic_sets(const lab_hash& h, bool quick) {
    std::vector<check_set> sets;
    for (int extra : quick ? std::vector<int>{0, 1, 4} : std::vector<int>{0, 1, 2, 3, 4, 8})
        sets.push_back(key_set_of(format("cyclic:%d:%d", h.width / 8 + extra, quick ? 100000 : 1000000)));
    return sets;
}

std::vector<check_set> word_sets(const lab_hash&, bool) {
    check_set set = key_set_of("words");
    set.count = make_key_set("words", 0).size();
    return {set};
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

std::vector<check_set> flip_sets(const lab_hash& h, bool quick) {
    std::vector<check_set> sets;
    for (std::size_t length : quick ? std::vector<std::size_t>{3, 8, 16, 64}
                                    : std::vector<std::size_t>{3, 4, 8, 11, 15, 16, 24, 32, 64, 128, 256, 1024})
        sets.push_back(flip_set(h, length, quick));
    return sets;
}

std::vector<check_set> seed_flip_sets(const lab_hash& h, bool quick) { return {flip_set(h, 0, quick)}; }

std::vector<check_set> seed_sweep_sets(const lab_hash&, bool quick) {
    const uint64_t seeds = quick ? 100'000 : 2'000'000;
    return {{"seed-sweep", format("seed-sweep:%llu", (unsigned long long)seeds),
             "a sentence-length key under seeds 0 to " + with_commas(seeds - 1), seeds, false, 0, 0, nullptr, {seeds}}};
}

std::vector<check_set> seed_grid_sets(const lab_hash&, bool quick) {
    const uint64_t side = quick ? 1024 : 4096;
    return {{"seed-grid", format("seed-grid:%llu:%llu", (unsigned long long)side, (unsigned long long)side),
             "2-byte keys 0 to " + with_commas(side - 1) + " under seeds 0 to " + with_commas(side - 1), side * side, true, 0,
             0, nullptr, {side, side}}};
}

std::vector<check_set> seed_sparse_sets(const lab_hash& h, bool quick) {
    const uint64_t most = h.seed_bits == 64 ? (quick ? 3 : 4) : (quick ? 4 : 6);
    return {{"seed-sparse", format("seed-sparse:%llu", (unsigned long long)most),
             "a sentence-length key under every " + std::to_string(h.seed_bits) + "-bit seed with at most " +
                 std::to_string(most) + " bits set",
             key_set_of(format("sparse:%d:%llu", h.seed_bits, (unsigned long long)most)).count, false, 0, 0, nullptr,
             {most}}};  // as many as sparse keys
}

// Every value of `bits` bits with 1 to `most` of them set: one bit, then two, each in order.
std::vector<uint64_t> sparse_values(int bits, int most) {
    std::vector<uint64_t> values;
    const auto emit = [&](const auto& self, int from, uint64_t value, int left) -> void {
        if (left == 0) {
            values.push_back(value);
            return;
        }
        for (int b = from; b < bits; ++b) self(self, b + 1, value | uint64_t{1} << b, left - 1);
    };
    for (int k = 1; k <= most; ++k) emit(emit, 0, 0, k);
    return values;
}

// Seeds with one or two of the hash's seed bits set: each bit alone, then each pair, in order.
std::vector<uint64_t> sparse_seeds(int seed_bits) { return sparse_values(seed_bits, 2); }

// A block's values: every value with 1 to `most` bits set. Where 8-byte blocks step by 4 they
// overlap by half, so only those whose first half is not zero: the others are the next block's
// (at the last position they are left out, which keeps the set a grid).
template <bool Offset>
std::vector<uint64_t> block_values(uint64_t block, uint64_t most) {
    std::vector<uint64_t> values = sparse_values(static_cast<int>(8 * block), static_cast<int>(most));
    if (!Offset && block > 4)
        values.erase(std::remove_if(values.begin(), values.end(), [](uint64_t v) { return (v & 0xFFFFFFFF) == 0; }),
                     values.end());
    return values;
}

std::string seed_words(const lab_hash& h) { return "every " + std::to_string(h.seed_bits) + "-bit seed with 1 or 2 bits set"; }

std::vector<check_set> seed_zero_sets(const lab_hash& h, bool quick) {
    const uint64_t longest = quick ? 320 : 1280, seeds = sparse_seeds(h.seed_bits).size();
    return {{"seed-zeroes", format("seed-zeroes:%llu", (unsigned long long)longest),
             "all-zero keys of 0 to " + with_commas(longest) + " bytes under " + seed_words(h), (longest + 1) * seeds, true, 0,
             0, nullptr, {longest + 1, seeds}}};
}

// seed-block-len:LEN:BLOCK:B: keys of LEN bytes, zero but for one BLOCK-byte block at every
// position a multiple of 4, holding every value with 1 to B bits set. seed-block-offset:LONGEST:
// BLOCK:B: the block first, in keys of every length from BLOCK to LONGEST. Both under every seed
// with 1 or 2 bits set; shape: the parameters, then places (positions or lengths), values, seeds.
template <bool Offset>
check_set seed_block_set(const lab_hash& h, uint64_t length, uint64_t block, uint64_t most) {
    const uint64_t places = Offset ? length - block + 1 : (length - block) / 4 + 1;
    const uint64_t values = block_values<Offset>(block, most).size(), seeds = sparse_seeds(h.seed_bits).size();
    const std::string name = Offset ? "seed-block-offset" : "seed-block-len";
    const std::string where = Offset ? format("first in keys of %llu to %llu bytes", (unsigned long long)block,
                                              (unsigned long long)length)
                                     : format("at every fourth byte of %llu-byte keys", (unsigned long long)length);
    return {name, format("%s:%llu:%llu:%llu", name.c_str(), (unsigned long long)length, (unsigned long long)block,
                         (unsigned long long)most),
            format("a %llu-byte block with 1 to %llu bits set, ", (unsigned long long)block, (unsigned long long)most) +
                where + ", the rest zero, under " + seed_words(h),
            places * values * seeds, true, 0, 0, nullptr, {length, block, most, places, values, seeds}};
}

std::vector<check_set> seed_block_len_sets(const lab_hash& h, bool quick) {
    if (quick) return {seed_block_set<false>(h, 16, 8, 1)};
    return {seed_block_set<false>(h, 16, 8, 2), seed_block_set<false>(h, 32, 4, 2)};
}

std::vector<check_set> seed_block_offset_sets(const lab_hash& h, bool quick) {
    if (quick) return {seed_block_set<true>(h, 16, 8, 1)};
    // Two bits in the 4-byte block where the seed has 32 bits, so that the set still holds millions.
    return {seed_block_set<true>(h, 12, 8, 2), seed_block_set<true>(h, 40, 4, h.seed_bits > 32 ? 1 : 2)};
}

// ---- The axes along which neighbours' differences are tested -------------------------------------

std::vector<difference_axis> in_order(const check_set&) { return {{1, "differences"}}; }

std::vector<difference_axis> seed_grid_axes(const check_set& set) {
    return {{1, "differences along seeds"}, {set.shape[1], "differences along keys"}};
}

std::vector<difference_axis> seed_zero_axes(const check_set& set) {
    return {{1, "differences along lengths"}, {set.shape[0], "differences along seeds"}};
}

template <bool Offset>
std::vector<difference_axis> seed_block_axes(const check_set& set) {
    const uint64_t places = set.shape[3], values = set.shape[4];
    return {{1, "differences along values"},
            {values, Offset ? "differences along lengths" : "differences along positions"},
            {places * values, "differences along seeds"}};
}

std::vector<difference_axis> coordinate_axes(const check_set& set) {
    const char* names[] = {"differences along x", "differences along y", "differences along z"};
    std::vector<difference_axis> axes;
    std::size_t step = 1;
    for (uint64_t d = 0; d < set.shape[0]; ++d, step *= set.shape[1]) axes.push_back({step, names[d]});
    return axes;
}

// ---- Every key and seed of a set, in order --------------------------------------------------------

void key_pairs(const check_set& set, const lab_hash&, uint64_t run_seed, const pair_visit& use) {
    for_each_key(set.given, run_seed, [&](std::string_view key) { use(key, run_seed); });
}

void word_pairs(const check_set&, const lab_hash&, uint64_t run_seed, const pair_visit& use) {
    const key_set words = make_key_set("words", run_seed);
    for (std::size_t i = 0; i < words.size(); ++i) use(words.key(i), run_seed);
}

void seed_sweep_pairs(const check_set& set, const lab_hash&, uint64_t run_seed, const pair_visit& use) {
    const std::string sentence = seed_key(run_seed);
    for (uint64_t s = 0; s < set.shape[0]; ++s) use(sentence, s);
}

void seed_grid_pairs(const check_set& set, const lab_hash&, uint64_t, const pair_visit& use) {
    char key[3] = {};
    for (uint64_t k = 0; k < set.shape[0]; ++k) {
        key[0] = static_cast<char>(k & 0xFF);
        key[1] = static_cast<char>(k >> 8);
        for (uint64_t s = 0; s < set.shape[1]; ++s) use(std::string_view(key, 2), s);
    }
}

void seed_zero_pairs(const check_set& set, const lab_hash& h, uint64_t, const pair_visit& use) {
    const std::string zeroes(set.shape[0], '\0');
    for (uint64_t seed : sparse_seeds(h.seed_bits))
        for (std::size_t length = 0; length < set.shape[0]; ++length) use(std::string_view(zeroes.data(), length), seed);
}

template <bool Offset>
void seed_block_pairs(const check_set& set, const lab_hash& h, uint64_t, const pair_visit& use) {
    const uint64_t length = set.shape[0], block = set.shape[1];
    const std::vector<uint64_t> values = block_values<Offset>(block, set.shape[2]);
    std::string key(length + 1, '\0');
    const auto put = [&](uint64_t at, uint64_t value) {
        for (uint64_t b = 0; b < block; ++b) key[at + b] = static_cast<char>(value >> (8 * b));
    };
    for (uint64_t seed : sparse_seeds(h.seed_bits))
        for (uint64_t place = 0; place < set.shape[3]; ++place) {
            const uint64_t at = Offset ? 0 : 4 * place, size = Offset ? block + place : length;
            for (uint64_t value : values) {
                put(at, value);
                use(std::string_view(key.data(), size), seed);
            }
            put(at, 0);
        }
}

// Seeds with at most K of the hash's seed bits set: combinations of K positions, as sparse keys.
void seed_sparse_pairs(const check_set& set, const lab_hash& h, uint64_t run_seed, const pair_visit& use) {
    const std::string sentence = seed_key(run_seed);
    const auto emit = [&](const auto& self, int from, uint64_t seed, uint64_t left) -> void {
        use(sentence, seed);
        if (left == 0) return;
        for (int b = from; b < h.seed_bits; ++b) self(self, b + 1, seed | (uint64_t{1} << b), left - 1);
    };
    emit(emit, 0, 0, set.shape[0]);
}

std::vector<check_result> key_set_results(const lab_hash& h, const check_set& set, uint64_t seed);
std::vector<check_result> flip_results(const lab_hash& h, const check_set& set, uint64_t seed);

}  // namespace

const std::vector<check_family>& check_families() {
    // name, what it is, varies the seed, may hold NUL bytes, its sets, its keys and seeds in order,
    // its results, the axes of its differences
    static const std::vector<check_family> families = {
        {"zeroes", "all-zero keys of every length", false, true, key_sets({"zeroes:200000"}, {"zeroes:20000"}), key_pairs,
         key_set_results, in_order},
        {"sparse", "keys with few bits set, from 16 to 2048 bits", false, true,
         key_sets({"sparse:16:9", "sparse:24:8", "sparse:32:7", "sparse:40:6", "sparse:48:6", "sparse:56:5", "sparse:64:5",
                   "sparse:96:4", "sparse:160:4", "sparse:256:3", "sparse:512:3", "sparse:1024:2", "sparse:2048:2"},
                  {"sparse:16:9", "sparse:32:5", "sparse:64:4", "sparse:256:2", "sparse:1024:2"}),
         key_pairs, key_set_results, in_order},
        {"two-bytes", "keys with one or two non-zero bytes, by length", false, true,
         key_sets({"two-bytes:1:8", "two-bytes:9:12", "two-bytes:13:16", "two-bytes:17:20"}, {"two-bytes:1:6"}), key_pairs,
         key_set_results, in_order},
        {"blocks-low", "sequences of blocks using only their low bits", false, true,
         block_sets("blocks-low", {"4:7", "8:6"}, {"4:5"}), key_pairs, key_set_results, in_order},
        {"blocks-high", "sequences of blocks using only their high bits", false, true,
         block_sets("blocks-high", {"4:7", "8:6"}, {"4:5"}), key_pairs, key_set_results, in_order},
        {"blocks-top-bit", "sequences of blocks that are 0 or the top bit", false, true,
         block_sets("blocks-top-bit", {"4:20", "8:20"}, {"8:14"}), key_pairs, key_set_results, in_order},
        {"blocks-01", "sequences of blocks that are 0 or 1", false, true, block_sets("blocks-01", {"4:20", "8:20"}, {"8:14"}),
         key_pairs, key_set_results, in_order},
        {"cyclic", "a random block repeated 8 times, blocks near the hash's width", false, true, cyclic_sets, key_pairs,
         key_set_results, in_order},
        {"coordinates", "points of 2- and 3-D grids as 4- or 8-byte integers, as tile keys are", false, true,
         key_sets({"coordinates:2:4096:4", "coordinates:3:128:4", "coordinates:2:2048:8"},
                  {"coordinates:2:1024:4", "coordinates:3:64:4", "coordinates:2:1024:8"}),
         key_pairs, key_set_results, coordinate_axes},
        {"text-between", "4 letters or digits between fixed text", false, false,
         key_sets({"text-between:4"}, {"text-between:3"}), key_pairs, key_set_results, in_order},
        {"text-first", "4 letters or digits before fixed text", false, false, key_sets({"text-first:4"}, {"text-first:3"}),
         key_pairs, key_set_results, in_order},
        {"text-last", "4 letters or digits after fixed text", false, false, key_sets({"text-last:4"}, {"text-last:3"}),
         key_pairs, key_set_results, in_order},
        {"words", "the system word list", false, false, word_sets, word_pairs, key_set_results, nullptr},
        {"bit-flips", "random keys by length, every input bit flipped: avalanche, bit independence, differences", false, false,
         flip_sets, nullptr, flip_results, nullptr},
        {"seed-sweep", "one key under consecutive seeds", true, false, seed_sweep_sets, seed_sweep_pairs, key_set_results,
         in_order},
        {"seed-grid", "small keys under small seeds: seeding that adds or xors the seed in", true, true, seed_grid_sets,
         seed_grid_pairs, key_set_results, seed_grid_axes},
        {"seed-sparse", "one key under seeds with few bits set", true, false, seed_sparse_sets, seed_sparse_pairs,
         key_set_results, nullptr},
        {"seed-zeroes", "all-zero keys of 0 to 1,280 bytes under seeds with 1 or 2 bits set", true, true, seed_zero_sets,
         seed_zero_pairs, key_set_results, seed_zero_axes},
        {"seed-block-len", "keys zero but for a block with few bits set, at every position, under sparse seeds", true,
         true, seed_block_len_sets, seed_block_pairs<false>, key_set_results, seed_block_axes<false>},
        {"seed-block-offset", "keys zero but for a first block with few bits set, of every length, under sparse seeds",
         true, true, seed_block_offset_sets, seed_block_pairs<true>, key_set_results, seed_block_axes<true>},
        {"seed-bit-flips", "random keys under random seeds, every seed bit flipped", true, false, seed_flip_sets, nullptr,
         flip_results, nullptr},
    };
    return families;
}

std::vector<check_set> battery(const lab_hash& h, bool quick, const std::vector<std::string>& families) {
    std::vector<check_set> sets;
    for (const auto& family : check_families()) {
        if (!families.empty() && std::find(families.begin(), families.end(), family.name) == families.end()) continue;
        if (family.seeds && h.seed_bits == 0) continue;
        for (auto& set : family.sets(h, quick)) {
            set.row = &family;
            set.may_hold_nul = family.may_hold_nul;
            sets.push_back(std::move(set));
        }
    }
    return sets;
}

std::vector<uint64_t> hash_set(const lab_hash& h, const check_set& set, uint64_t seed) {
    std::vector<uint64_t> values;
    hash_set_into(h, set, seed, values);
    return values;
}

void hash_set_into(const lab_hash& h, const check_set& set, uint64_t seed, std::vector<uint64_t>& values) {
    values.clear();
    values.reserve(set.count);
    (set.row != nullptr ? set.row->pairs : key_pairs)(
        set, h, seed, [&](std::string_view key, uint64_t s) { values.push_back(h(key.data(), key.size(), s)); });
}

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

std::vector<uint64_t> collisions_in_top_bits(const std::vector<uint64_t>& sorted, int width) {
    // Neighbours sharing their top L bits but not L + 1 collide at every width up to L.
    // Neighbours share about log2(n) bits, so most steps add to the same few counts: four tallies
    // taken in turn let each add go on without waiting for the last one to the same count.
    std::vector<uint64_t> collisions(width + 1, 0);
    std::vector<std::array<uint64_t, 4>> tally(static_cast<std::size_t>(width) + 1);
    const auto shared = [&](std::size_t i) {
        const uint64_t d = sorted[i] ^ sorted[i - 1];
        return static_cast<std::size_t>(d == 0 ? width : __builtin_clzll(d) - (64 - width));
    };
    std::size_t i = 1;
    for (; i + 4 <= sorted.size(); i += 4)
        for (std::size_t k = 0; k < 4; ++k) ++tally[shared(i + k)][k];
    for (; i < sorted.size(); ++i) ++tally[shared(i)][0];
    for (int b = width; b >= 0; --b) {
        const auto& t = tally[static_cast<std::size_t>(b)];
        collisions[b] = t[0] + t[1] + t[2] + t[3] + (b < width ? collisions[b + 1] : 0);
    }
    return collisions;
}

namespace {
// The thread's sample buffer, kept from set to set as the values' own are.
std::vector<uint64_t>& sample_buffer() {
    thread_local std::vector<uint64_t> sample;
    return sample;
}
}  // namespace

tested_values::tested_values(const lab_hash& h, const check_set& s, std::vector<uint64_t>& values)
    : hash(h), set(s), values_(values), sample_(sample_buffer()) {
    const std::size_t stride = std::max<std::size_t>((values.size() + window_sample - 1) / window_sample, 1);
    sample_.clear();
    for (std::size_t i = 0; i < values.size(); i += stride) sample_.push_back(values[i]);
}

const std::vector<uint64_t>& tested_values::collisions_by_width(bool low_bits_first) {
    std::vector<uint64_t>& counted = low_bits_first ? low_collisions_ : high_collisions_;
    if (counted.empty()) counted = collisions_in_top_bits(sorted(low_bits_first), hash.width);
    return counted;
}

const std::vector<uint64_t>& tested_values::sorted(bool reversed_first) {
    const auto wanted = reversed_first ? low_first : high_first;
    if (state_ == wanted) return values_;
    // Reversing twice is the identity: from low_first back to high_first it undoes itself.
    if (reversed_first || state_ == low_first) reverse_each(values_, hash.width);
    sort_values(values_);
    state_ = wanted;
    return values_;
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

std::vector<check_result> test_values(const lab_hash& h, const check_set& set, std::vector<uint64_t>& values) {
    tested_values tested(h, set, values);
    std::vector<check_result> results;
    for (const auto& test : value_tests())
        if (std::optional<check_result> r = test.run(tested)) {
            r->test = test.name;
            results.push_back(std::move(*r));
        }
    return results;
}

namespace {

// The worst cell and pair of a bit-flip set as results, then the battery's tests on the differences.
std::vector<check_result> flip_results(const lab_hash& h, const check_set& set, uint64_t seed) {
    thread_local std::vector<uint64_t> differences;
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
    std::vector<check_result> results;
    {
        // The thread's buffers, kept from set to set (the sort's own among them): the kernel's
        // faulting-in of fresh memory for every set and axis was a quarter of the battery's time.
        thread_local std::vector<uint64_t> values, differences;
        hash_set_into(h, set, seed, values);
        // The differences first: the values' own tests sort them.
        std::vector<check_result> of_differences;
        for (const auto& axis : set.row->axes != nullptr ? set.row->axes(set) : std::vector<difference_axis>{}) {
            if (axis.step >= values.size()) continue;
            differences.resize(values.size() - axis.step);
            for (std::size_t i = 0; i < differences.size(); ++i) differences[i] = values[i] ^ values[i + axis.step];
            for (auto& r : test_values(h, set, differences)) {
                r.of = axis.name;
                of_differences.push_back(std::move(r));
            }
        }
        results = test_values(h, set, values);
        results.insert(results.end(), of_differences.begin(), of_differences.end());
    }
    if (h.stops_at_nul && set.may_hold_nul) {
        const uint64_t merged = merged_at_nul([&](const key_visit& visit) {
            set.row->pairs(set, h, seed, [&](std::string_view key, uint64_t) { visit(key); });
        });
        for (auto& r : results) r.nul_merged = merged;
    }
    return results;
}

}  // namespace


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
