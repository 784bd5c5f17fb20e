// hashlab check: a battery of structured key sets, each hashed without storing its keys, each
// tested against the ideal hash with a p-value, and a verdict per hash over all of them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/lab_hashes.h"

namespace lab::check {

struct check_family;

// One set of the battery: a key family with its parameters, or one of the seed families, which
// hash fixed keys under many seeds.
struct check_set {
    std::string family;  // "sparse", "seed-grid", ...
    std::string given;   // the set in the --keys form, e.g. "sparse:32:7"
    std::string about;   // the set in words
    uint64_t count = 0;  // its keys (or key and seed pairs, or flips)
    bool may_hold_nul = true;
    // The bit-flip families: random keys of `length` bytes (0: seed bits flipped), `samples` flips
    // of each input bit.
    std::size_t length = 0;
    uint64_t samples = 0;
    const check_family* row = nullptr;  // none: the keys of `given`, at the run's seed
    std::vector<uint64_t> shape = {};   // the family's parameters, e.g. keys and seeds of a grid
};

struct check_result;

// Neighbours along one axis of a family's order: the values `step` apart. Under an ideal hash the
// xors of such pairs are independent and uniform (each pair's second value is new to the chain),
// so their differences face the same tests as the values.
struct difference_axis {
    std::size_t step;
    std::string name;  // "differences", "differences along seeds", ...
};

// Receives every key of a set with the seed to hash it under, in the set's order.
using pair_visit = std::function<void(std::string_view key, uint64_t seed)>;

// A family of the battery: one row of check_families(), the only place the families are listed.
struct check_family {
    std::string name, about;
    bool seeds = false;         // varies the seed, not the key: only for hashes that take one
    bool may_hold_nul = false;  // keys that a hash stopping at the first NUL would merge
    // The family's sets for a hash, in the default battery or the quick one.
    std::function<std::vector<check_set>(const lab_hash& h, bool quick)> sets;
    // Every key and seed of one of its sets, in order (the run's seed given); null for bit flips.
    void (*pairs)(const check_set& set, const lab_hash& h, uint64_t run_seed, const pair_visit& use) = nullptr;
    // The results of one of its sets: the value tests on its hash values, or the bit-flip tests.
    std::vector<check_result> (*results)(const lab_hash& h, const check_set& set, uint64_t run_seed) = nullptr;
    // Where neighbours in its order differ by a structured step, the axes whose differences are
    // tested too; null when its order means nothing.
    std::vector<difference_axis> (*axes)(const check_set& set) = nullptr;
    // Its keys' values at one seed, what a table with one seed sees: neither other seeds nor bit flips.
    bool tests_values_at_one_seed() const { return !seeds && pairs != nullptr; }
};
const std::vector<check_family>& check_families();

// The sets of the battery for one hash: every family in `families` (all when empty) that applies
// to it, with the sizes of the default battery or the quick one.
std::vector<check_set> battery(const lab_hash& h, bool quick, const std::vector<std::string>& families);

// One result: a test of one hash on one set, and its p-value under the ideal hash, before and
// after the correction for the number of results its test looked at (the worst of them is kept).
struct check_result {
    std::string hash, family, set, test;  // "collisions", "truncated collisions", "windows", "avalanche", "bit independence"
    std::string of;                       // what was tested: empty for the values, else the axis of their differences
    std::string finding;                  // the result in words
    double statistic = 0, expected = 0;   // collisions and their ideal count, or a chi-square and its df
    int bits = 0;
    std::string part;                     // which bits: "all", "low", "high", or "bits 3..10"
    double log2_p = 0, looked_at = 1, log2_p_corrected = 0;
    uint64_t nul_merged = 0;              // keys equal up to their first NUL, for hashes that stop there
};

// The results of a set, as the family rows give them: a key set's or seed family's (its values
// and their differences along each axis), and a bit-flip set's (the worst cell and pair, then the
// differences).
std::vector<check_result> key_set_results(const lab_hash& h, const check_set& set, uint64_t seed);
std::vector<check_result> flip_results(const lab_hash& h, const check_set& set, uint64_t seed);

// The values of a set, in order: the hash of every key (at `seed`), or of the fixed keys under
// every seed of a seed family.
std::vector<uint64_t> hash_set(const lab_hash& h, const check_set& set, uint64_t seed);
void hash_set_into(const lab_hash& h, const check_set& set, uint64_t seed, std::vector<uint64_t>& values);

// Collisions among the top b bits of sorted values below 2^width, for every b from 0 to width,
// from one pass: neighbours that share their top L bits collide at every width up to L.
std::vector<uint64_t> collisions_in_top_bits(const std::vector<uint64_t>& sorted, int width);
// The same, from sorted runs given in turn, each run's values above the last run's.
class top_bit_collisions {
public:
    explicit top_bit_collisions(int width);
    void add(const std::vector<uint64_t>& sorted);
    std::vector<uint64_t> counts() const;

private:
    int width_;
    std::vector<std::array<uint64_t, 4>> tally_;
    uint64_t last_ = 0;
    bool any_ = false;
};

// Differences are sorted in parts of at most this many (but where a hash crowds them into a few
// leading bits): a thread's memory is its largest set's values and one part.
constexpr std::size_t largest_difference_part = std::size_t{1} << 24;

// What a value test sees: the hash values of one set, an even sample of them in the set's order
// (taken first), and the values sorted by their high or their low bits, sorted in place on demand.
class tested_values {
public:
    // The values, sorted in place as the tests ask; or, with `step`, the differences of values
    // `step` apart, the values left as they are.
    tested_values(const lab_hash& h, const check_set& set, std::vector<uint64_t>& values, std::size_t step = 0,
                  std::size_t largest_part = largest_difference_part);
    const lab_hash& hash;
    const check_set& set;
    double size() const { return static_cast<double>(values_.size() - step_); }
    const std::vector<uint64_t>& sample_in_order() const { return sample_; }
    // The colliding values in the top b bits (low_bits_first: the low b bits), b = 0 .. width,
    // from one sort, counted once for every test that asks.
    const std::vector<uint64_t>& collisions_by_width(bool low_bits_first);

private:
    enum order { in_order, high_first, low_first };
    // `v` sorted, or bit-reversed and then sorted (its low bits lead), from the order it is in.
    const std::vector<uint64_t>& sorted(std::vector<uint64_t>& v, order& now, bool reversed) const;
    std::vector<uint64_t>& values_;
    std::size_t step_, largest_part_;
    order values_order_ = in_order;
    std::optional<order> part_order_;    // the differences, when they fit one part: none until made
    std::vector<std::size_t> prefixes_;  // else how many start with each 8 bits
    std::vector<uint64_t>& sample_;
    std::vector<uint64_t> high_collisions_, low_collisions_;
};

// A test of a set's values: one row of value_tests(). It gives one result, the worst of what it
// looked at, its p-value corrected against the same test run on an ideal hash's values (none
// when the set is too small for it).
struct value_test {
    std::string name, null_model;
    std::optional<check_result> (*run)(tested_values& values);
};
const std::vector<value_test>& value_tests();

// Every value test on one set's values, in the registry's order (`values` sorted on the way), or
// on the differences of its values `step` apart (`values` left in order).
std::vector<check_result> test_values(const lab_hash& h, const check_set& set, std::vector<uint64_t>& values,
                                      std::size_t step = 0, std::size_t largest_part = largest_difference_part);

// A result in words: the set, what was found, its p-value, and how many results it was the worst of.
std::string describe(const check_result& r);

// What the battery decided of one hash, its T results judged by the lines in core/stats.h.
struct check_verdict {
    std::string hash, verdict;  // "PASS", "WARN", "FAIL"
    int passed = 0, total = 0;
    double fail_log2 = 0, warn_log2 = 0;
    std::vector<const check_result*> worst_failed;  // the worst result of each family that failed
};
std::vector<check_verdict> verdicts(const std::vector<std::string>& hashes, const std::vector<check_result>& results);

// The whole battery, every core busy, one hash and set at a time per core. `step` hears progress.
std::vector<check_result> run_battery(const std::vector<lab_hash>& hashes, bool quick, const std::vector<std::string>& families,
                                      uint64_t seed, const std::function<void(const std::string&)>& step);

}  // namespace lab::check
