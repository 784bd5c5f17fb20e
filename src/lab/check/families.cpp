// The battery's families: each one's sets, the keys and seeds of a set in order, and the axes
// along which neighbours' differences are tested; one row each in check_families().
#include "check/check.h"

#include <algorithm>
#include <string>

#include "check/bit_flips.h"
#include "hashes.h"
#include "core/keys.h"
#include "core/text.h"

namespace lab::check {

namespace {

// The seed families hash one sentence-length key (the run's --seed written after it, so that runs
// with different seeds test different keys), or small keys, under many seeds.
std::string seed_key(uint64_t run_seed) { return std::string(known_answer_key) + " " + std::to_string(run_seed); }

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

// The families that vary the seed, not the key: only for hashes that take one.
std::vector<check_family> seed_families() {
    return {
        {.name = "seed-sweep", .about = "one key under consecutive seeds", .seeds = true, .sets = seed_sweep_sets,
         .pairs = seed_sweep_pairs, .results = key_set_results, .axes = in_order},
        {.name = "seed-grid", .about = "small keys under small seeds: seeding that adds or xors the seed in",
         .seeds = true, .may_hold_nul = true, .sets = seed_grid_sets, .pairs = seed_grid_pairs,
         .results = key_set_results, .axes = seed_grid_axes},
        {.name = "seed-sparse", .about = "one key under seeds with few bits set", .seeds = true,
         .sets = seed_sparse_sets, .pairs = seed_sparse_pairs, .results = key_set_results},
        {.name = "seed-zeroes", .about = "all-zero keys of 0 to 1,280 bytes under seeds with 1 or 2 bits set",
         .seeds = true, .may_hold_nul = true, .sets = seed_zero_sets, .pairs = seed_zero_pairs,
         .results = key_set_results, .axes = seed_zero_axes},
        {.name = "seed-block-len",
         .about = "keys zero but for a block with few bits set, at every position, under sparse seeds", .seeds = true,
         .may_hold_nul = true, .sets = seed_block_len_sets, .pairs = seed_block_pairs<false>,
         .results = key_set_results, .axes = seed_block_axes<false>},
        {.name = "seed-block-offset",
         .about = "keys zero but for a first block with few bits set, of every length, under sparse seeds",
         .seeds = true, .may_hold_nul = true, .sets = seed_block_offset_sets, .pairs = seed_block_pairs<true>,
         .results = key_set_results, .axes = seed_block_axes<true>},
        {.name = "seed-bit-flips", .about = "random keys under random seeds, every seed bit flipped", .seeds = true,
         .sets = seed_flip_sets, .results = flip_results},
    };
}

}  // namespace

const std::vector<check_family>& check_families() {
    static const std::vector<check_family> families = [] {
        std::vector<check_family> rows = {
            {.name = "zeroes", .about = "all-zero keys of every length", .may_hold_nul = true,
             .sets = key_sets({"zeroes:200000"}, {"zeroes:20000"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "sparse", .about = "keys with few bits set, from 16 to 2048 bits", .may_hold_nul = true,
             .sets = key_sets({"sparse:16:9", "sparse:24:8", "sparse:32:7", "sparse:40:6", "sparse:48:6", "sparse:56:5",
                               "sparse:64:5", "sparse:96:4", "sparse:160:4", "sparse:256:3", "sparse:512:3",
                               "sparse:1024:2", "sparse:2048:2"},
                              {"sparse:16:9", "sparse:32:5", "sparse:64:4", "sparse:256:2", "sparse:1024:2"}),
             .pairs = key_pairs, .results = key_set_results, .axes = in_order},
            {.name = "two-bytes", .about = "keys with one or two non-zero bytes, by length", .may_hold_nul = true,
             .sets = key_sets({"two-bytes:1:8", "two-bytes:9:12", "two-bytes:13:16", "two-bytes:17:20"},
                              {"two-bytes:1:6"}),
             .pairs = key_pairs, .results = key_set_results, .axes = in_order},
            {.name = "blocks-low", .about = "sequences of blocks using only their low bits", .may_hold_nul = true,
             .sets = block_sets("blocks-low", {"4:7", "8:6"}, {"4:5"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "blocks-high", .about = "sequences of blocks using only their high bits", .may_hold_nul = true,
             .sets = block_sets("blocks-high", {"4:7", "8:6"}, {"4:5"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "blocks-top-bit", .about = "sequences of blocks that are 0 or the top bit", .may_hold_nul = true,
             .sets = block_sets("blocks-top-bit", {"4:20", "8:20"}, {"8:14"}), .pairs = key_pairs,
             .results = key_set_results, .axes = in_order},
            {.name = "blocks-01", .about = "sequences of blocks that are 0 or 1", .may_hold_nul = true,
             .sets = block_sets("blocks-01", {"4:20", "8:20"}, {"8:14"}), .pairs = key_pairs,
             .results = key_set_results, .axes = in_order},
            {.name = "cyclic", .about = "a random block repeated 8 times, blocks near the hash's width",
             .may_hold_nul = true, .sets = cyclic_sets, .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "coordinates", .about = "points of 2- and 3-D grids as 4- or 8-byte integers, as tile keys are",
             .may_hold_nul = true,
             .sets = key_sets({"coordinates:2:4096:4", "coordinates:3:128:4", "coordinates:2:2048:8"},
                              {"coordinates:2:1024:4", "coordinates:3:64:4", "coordinates:2:1024:8"}),
             .pairs = key_pairs, .results = key_set_results, .axes = coordinate_axes},
            {.name = "text-between", .about = "4 letters or digits between fixed text",
             .sets = key_sets({"text-between:4"}, {"text-between:3"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "text-first", .about = "4 letters or digits before fixed text",
             .sets = key_sets({"text-first:4"}, {"text-first:3"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "text-last", .about = "4 letters or digits after fixed text",
             .sets = key_sets({"text-last:4"}, {"text-last:3"}), .pairs = key_pairs, .results = key_set_results,
             .axes = in_order},
            {.name = "words", .about = "the system word list", .sets = word_sets, .pairs = word_pairs,
             .results = key_set_results},
            {.name = "bit-flips",
             .about = "random keys by length, every input bit flipped: avalanche, bit independence, differences",
             .sets = flip_sets, .results = flip_results},
        };
        for (auto& row : seed_families()) rows.push_back(std::move(row));
        return rows;
    }();
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


}  // namespace lab::check
