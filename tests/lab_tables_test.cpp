// The cost study's loops: what each one does to a table, every real table with every hash, the
// tables' construction, and the figures made of the rounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "keys.h"
#include "lab_hashes.h"
#include "table_runs.h"
#include "cost_study.h"
#include "tables.h"

namespace {

constexpr auto no_limit = std::chrono::steady_clock::duration::max();

uint64_t constant_hash(const char*, std::size_t, uint64_t) { return 0x5555; }

// A table that writes down every operation done to it. `lie` makes find() claim every key.
struct recording_table {
    std::vector<std::pair<char, std::string>>* log;
    bool lie = false;
    std::set<std::string> keys{};
    using iterator = std::set<std::string>::const_iterator;

    void emplace(const std::string& key, uint32_t) {
        log->push_back({'i', key});
        keys.insert(key);
    }
    iterator find(const std::string& key) const {
        log->push_back({'f', key});
        return lie ? keys.begin() : keys.find(key);
    }
    iterator end() const { return keys.end(); }
    std::size_t size() const { return keys.size(); }
};

// fill_and_find: a fill in the set's order into one table, then a shuffled fill into another,
// every key found in the shuffled order, then every absent key looked for.
TEST(TableLoops, EachLoopDoesItsOwnWorkInItsOwnOrder) {
    const study_keys study = prepare_study(make_key_set("decimal:500", 1), 1);
    std::vector<std::pair<char, std::string>> log;
    int tables_made = 0;
    const table_run run = table_runs::fill_and_find(study, no_limit, [&] {
        ++tables_made;
        return recording_table{&log};
    });
    EXPECT_EQ(tables_made, 2);
    std::vector<std::pair<char, std::string>> expected;
    for (const auto& k : study.ordered) expected.push_back({'i', k});
    for (const auto& k : study.shuffled) expected.push_back({'i', k});
    for (int pass = 0; pass < lookup_passes; ++pass) {
        for (const auto& k : study.shuffled) expected.push_back({'f', k});
        for (const auto& k : study.absent) expected.push_back({'f', k});
    }
    EXPECT_EQ(log, expected);
    EXPECT_EQ(run.cut_in, "");
    EXPECT_GT(run.miss, 0);

    // A table that finds what it does not hold is an error, not a fast miss.
    EXPECT_THROW(table_runs::fill_and_find(study, no_limit, [&] { return recording_table{&log, true}; }),
                 std::logic_error);
}

TEST(TableLoops, StudyKeysAreShuffledAndAbsentKeysAreAbsent) {
    const key_set keys = make_key_set("decimal:2000", 1);
    const study_keys study = prepare_study(keys, 1);
    std::vector<std::string> sorted_ordered = study.ordered, sorted_shuffled = study.shuffled;
    std::sort(sorted_ordered.begin(), sorted_ordered.end());
    std::sort(sorted_shuffled.begin(), sorted_shuffled.end());
    EXPECT_EQ(sorted_shuffled, sorted_ordered) << "the shuffled order holds the same keys";
    std::size_t in_place = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(study.ordered[i], keys.key(i));
        in_place += study.shuffled[i] == study.ordered[i];
    }
    EXPECT_LT(in_place, 10u) << "a shuffle of 2,000 keys leaves about one in place";
    ASSERT_EQ(study.absent.size(), keys.size());
    for (const auto& a : study.absent) EXPECT_FALSE(std::binary_search(sorted_ordered.begin(), sorted_ordered.end(), a));
}

// The hasher each table is built with: only the :avalanching table's is marked, so Boost skips
// its own mixing there and nowhere else.
template <class Table, class = void>
struct marked_avalanching : std::false_type {};
template <class Table>
struct marked_avalanching<Table, std::void_t<typename Table::hasher::is_avalanching>> : std::true_type {};

TEST(TableLoops, OnlyTheAvalanchingTableMarksItsHasher) {
    for (const auto& t : lab_tables()) {
        const auto call = [](const char* d, std::size_t n, uint64_t s) { return constant_hash(d, n, s); };
        const bool marked = table_runs::with_table(t.id, call, [](auto make) {
            return marked_avalanching<decltype(make())>::value;
        });
        EXPECT_EQ(marked, t.id == table_id::boost_flat_avalanching) << t.name;
    }
}

// Every table with every hash that can serve one, on keys with long, short and NUL-holding
// members: the run itself checks sizes, that each key is found and that no absent key is.
TEST(Tables, EveryTableFindsEveryKeyWithEveryHash) {
    key_set keys = make_key_set("decimal:3000", 1);
    using namespace std::string_literals;
    for (const auto& extra : {""s, "a much longer key than the small-string buffer holds"s, "nul\0a"s, "nul\0b"s})
        keys.add(extra);
    const study_keys study = prepare_study(keys, 1);
    for (const auto& h : builtin_hashes()) {
        if (!h.deterministic()) continue;
        for (const auto& t : lab_tables()) {
            table_run run;
            ASSERT_NO_THROW(run = h.run_in_table(h, t.id, study, no_limit)) << h.name << " in " << t.name;
            EXPECT_GT(run.hit, 0) << h.name << " in " << t.name;
            EXPECT_EQ(run.cut_in, "") << h.name << " in " << t.name;
            EXPECT_GE(run.peak_bytes_per_entry, run.bytes_per_entry);
        }
    }
}

// A table that degenerates (every key in one place) overruns a small budget and is cut short.
TEST(Tables, AnOverrunningLoopIsCutShort) {
    const lab_hash constant = runtime_hash("constant", 64, constant_hash, "test");
    const study_keys study = prepare_study(make_key_set("decimal:20000", 1), 1);
    const table_run run = constant.run_in_table(constant, table_id::std_unordered, study, std::chrono::milliseconds(20));
    EXPECT_EQ(run.cut_in, "insert");
    EXPECT_GT(run.cut_after, 0u);
    EXPECT_LT(run.cut_after, 20000u);
    EXPECT_GT(run.cut_ns, 0);
}

TEST(Tables, CountingAllocatorCountsLiveAndPeakBytes) {
    allocations = {};
    counting_allocator<uint64_t> a;
    uint64_t* ten = a.allocate(10);
    uint64_t* five = a.allocate(5);
    a.deallocate(ten, 10);
    EXPECT_EQ(allocations.live, 40u);
    EXPECT_EQ(allocations.peak, 120u);
    a.deallocate(five, 5);
    EXPECT_EQ(allocations.live, 0u);

    // A tree allocates one node per entry and frees nothing while it fills.
    const lab_hash& h = builtin_hashes().front();
    const table_run small = h.run_in_table(h, table_id::std_map, prepare_study(make_key_set("decimal:1000", 1), 1), no_limit);
    const table_run large = h.run_in_table(h, table_id::std_map, prepare_study(make_key_set("decimal:4000", 1), 1), no_limit);
    EXPECT_EQ(small.bytes_per_entry, large.bytes_per_entry);
    EXPECT_EQ(small.peak_bytes_per_entry, small.bytes_per_entry);
    EXPECT_GE(small.bytes_per_entry, sizeof(std::string) + sizeof(uint32_t) + 3 * sizeof(void*));
}

}  // namespace
