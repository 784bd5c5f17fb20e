#include "tables/tables.h"

#include <algorithm>
#include <random>
#include <string_view>

namespace lab::tables {

const std::vector<lab_table>& lab_tables() {
    static const std::vector<lab_table> tables = {
        {.id = table_id::std_unordered, .name = "std::unordered_map",
         .note = "our standard library's, default-constructed: prime bucket counts, chained nodes"},
        {.id = table_id::std_map, .name = "std::map", .hashed = false, .note = "ordered tree, no hash: the baseline"},
        {.id = table_id::boost_flat, .name = "boost::unordered_flat_map",
         .note = "open addressing, power-of-two groups; mixes the hash's bits"},
        {.id = table_id::boost_flat_avalanching, .name = "boost::unordered_flat_map:avalanching",
         .note = "the same with the hash marked avalanching: no mixing"},
        {.id = table_id::absl_flat, .name = "absl::flat_hash_map", .note = "open addressing, power-of-two groups (Swiss table)"},
        {.id = table_id::hopscotch, .name = "tsl::hopscotch_map",
         .note = "hopscotch hashing, power-of-two growth; neighbourhoods of 62"},
        {.id = table_id::dense, .name = "google::dense_hash_map",
         .note = "open addressing, quadratic probing; an empty key reserved"},
    };
    return tables;
}

const lab_table& table_named(const std::string& name) {
    for (const auto& t : lab_tables())
        if (t.name == name) return t;
    throw unknown_name("table", name, names_of(lab_tables()));
}

study_keys prepare_study(const key_set& keys, uint64_t seed) {
    study_keys study;
    const std::size_t n = keys.size();
    study.ordered.reserve(n);
    for (std::size_t i = 0; i < n; ++i) study.ordered.emplace_back(keys.key(i));
    std::mt19937_64 random(seed);
    study.shuffled = study.ordered;
    std::shuffle(study.shuffled.begin(), study.shuffled.end(), random);
    study.found = study.ordered;
    std::shuffle(study.found.begin(), study.found.end(), random);
    study.found.resize(std::min(n, std::max(n / lookup_share, fewest_lookups)));
    // Absent keys: each key looked up with one more byte, unless that too is a key of the set.
    std::vector<std::string_view> sorted(study.ordered.begin(), study.ordered.end());
    std::sort(sorted.begin(), sorted.end());
    study.absent.reserve(study.found.size());
    for (const auto& key : study.found) {
        std::string absent = key + '\x7f';
        if (!std::binary_search(sorted.begin(), sorted.end(), std::string_view(absent))) study.absent.push_back(std::move(absent));
    }
    return study;
}

}  // namespace lab::tables
