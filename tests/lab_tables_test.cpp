// The cost study: every real table with every hash, the keys it is given, and the study's own
// steps (lockstep parts, groups beside a reference, marks, advice) on tables of known cost.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "choose/choose.h"
#include "tables/cost_study.h"
#include "core/keys.h"
#include "core/lab_hashes.h"
#include "tables/table_lanes.h"
#include "tables/table_runs.h"
#include "tables/tables.h"

using namespace lab;
using namespace lab::tables;

namespace {

uint64_t constant_hash(const char*, std::size_t, uint64_t) { return 0x5555; }

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
// members, filled in two parts from the shuffled keys: every key found, no absent one.
TEST(Tables, EveryTableFindsEveryKeyWithEveryHash) {
    key_set keys = make_key_set("decimal:3000", 1);
    using namespace std::string_literals;
    for (const auto& extra : {""s, "a much longer key than the small-string buffer holds"s, "nul\0a"s, "nul\0b"s})
        keys.add(extra);
    const study_keys study = prepare_study(keys, 1);
    const std::size_t n = study.ordered.size();
    std::size_t in_place = 0;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(study.ordered[i], keys.key(i));
        in_place += study.shuffled[i] == study.ordered[i];
    }
    EXPECT_LT(in_place, 10u) << "a shuffle of 3,004 keys leaves about one in place";
    for (const auto& h : builtin_hashes()) {
        if (!h.deterministic()) continue;
        for (const auto& t : lab_tables()) {
            const auto lane = new_lane(h, t.id);
            lane->insert(study.shuffled.data(), 0, n / 2);
            lane->insert(study.shuffled.data(), n / 2, n);
            EXPECT_EQ(lane->size(), n) << h.name << " in " << t.name;
            EXPECT_EQ(lane->find(study.ordered.data(), 0, n), n) << h.name << " in " << t.name;
            EXPECT_EQ(lane->find(study.absent.data(), 0, n), 0u) << h.name << " in " << t.name;
        }
    }
}

// A table whose every operation takes a known time on the study's clock, so that the study's
// figures are known whatever the machine is doing: it advances the clock `ms` per part and holds
// no keys, only their count. Finds among the absent keys fail.
const std::vector<std::string>* absent_keys = nullptr;
double test_clock_ns = 0;
double test_clock() { return test_clock_ns; }
std::size_t parts_taken = 0;
double drift_per_ms = 0;  // the machine slowing down as the test clock runs: 0.001 is 0.1 % a ms
double cost_ns(double ms) { return 1e6 * ms * (1 + drift_per_ms * test_clock_ns / 1e6); }
struct sleeping_table : table_lane {
    std::vector<double> ms;  // a part's cost, in turn over every table of the kind
    std::size_t held = 0;
    explicit sleeping_table(std::vector<double> costs) : ms(std::move(costs)) {}
    void insert(const std::string*, std::size_t first, std::size_t end) override {
        held += end - first;
        test_clock_ns += cost_ns(ms[parts_taken++ % ms.size()]);
    }
    double find_ms = -1;  // a lookup's part, where it differs from an insert's
    std::size_t find(const std::string* keys, std::size_t first, std::size_t end) const override {
        test_clock_ns += cost_ns(find_ms >= 0 ? find_ms : ms[parts_taken++ % ms.size()]);
        return keys == absent_keys->data() ? 0 : end - first;
    }
    std::size_t size() const override { return held; }
};
// Its hash's name says how long it takes; an erratic one takes 20 to 80 times the quickest's.
lab_hash sleeper(const std::string& name) { return runtime_hash(name, 64, constant_hash, "test"); }
std::unique_ptr<table_lane> sleeping(const lab_hash& h, table_id) {
    if (h.name == "erratic") return std::make_unique<sleeping_table>(std::vector<double>{20, 60, 30, 80, 25, 50, 40});
    if (h.name == "slow") return std::make_unique<sleeping_table>(std::vector<double>{50});
    if (h.name == "lopsided") {  // as quick as "one" to fill, ten times slower to look up
        auto table = std::make_unique<sleeping_table>(std::vector<double>{1});
        table->find_ms = 10;
        return table;
    }
    if (h.name == "wobbly") return std::make_unique<sleeping_table>(std::vector<double>{1.05, 1.6, 1.1, 1.4, 1.3, 1.2, 1.5, 1.08, 1.9, 1.25, 1.06});
    return std::make_unique<sleeping_table>(std::vector<double>{h.name == "none" ? 0.0 : h.name == "one" ? 1.0 : h.name == "two" ? 2.0 : 3.0});
}

// A study of sleeping tables on the test clock, over keys of three parts a loop, `per_group`
// tables side by side; the hashes must outlive it.
const key_set& sleeper_keys() {
    static const key_set keys = make_key_set("decimal:24576", 1);
    return keys;
}
const study_keys& sleeper_study_keys() {
    static const study_keys study = prepare_study(sleeper_keys(), 1);
    absent_keys = &study.absent;
    return study;
}
table_study sleeper_study(const std::vector<lab_hash>& hashes, std::size_t per_group) {
    std::vector<const lab_hash*> members;
    for (const auto& h : hashes) members.push_back(&h);
    return table_study(lab_tables().front(), members, sleeper_study_keys(), sleeper_keys().size(), sleeper_keys().name,
                       per_group, 1, sleeping, test_clock);
}

struct study_case {
    std::vector<lab_hash> hashes;
    std::size_t tables_per_group;
    std::vector<double> ratios;  // of each hash to the best
    std::vector<int> groups;
    const char* what;
};

// Each hash's parts are its own (a part given to the wrong hash would show a sleeper's time in a
// quick one's row), every group after the first holds the reference, and ratios across groups
// come out right through it: the reference (first, 2 ms) is not the best (1 ms), and the 3 ms
// hash never ran beside the best.
TEST(CostStudy, PartsGroupsRatiosAndMarks) {
    const study_case cases[] = {
        {{sleeper("two"), sleeper("none"), sleeper("three")}, 10, {0, 0, 0}, {0, 0, 0}, "one group"},
        {{sleeper("two"), sleeper("one"), sleeper("three")}, 2, {2, 1, 3}, {0, 0, 1}, "groups of two"},
    };
    for (const auto& c : cases) {
        table_study s = sleeper_study(c.hashes, c.tables_per_group);
        for (int round = 0; round < 3; ++round) s.round(round == 0, 1e10);
        s.mark();
        const std::vector<cost_result> results = s.results();
        ASSERT_EQ(results.size(), c.hashes.size()) << c.what;
        for (std::size_t i = 0; i < results.size(); ++i) {
            const cost_result& r = results[i];
            EXPECT_EQ(r.group, c.groups[i]) << c.what << ": " << r.hash;
            EXPECT_EQ(r.runs, 3) << c.what;
            for (const auto& [name, figure] : cost_time_figures) {
                const cost_figure& f = r.*figure;
                ASSERT_EQ(f.parts.size(), name[0] == 'i' ? 3u : 3u * lookup_passes) << c.what << ": " << name;
                const double slept = 1e6 * (r.hash == "none" ? 0 : r.hash == "one" ? 1 : r.hash == "two" ? 2 : 3);
                for (const auto& row : f.parts) {
                    ASSERT_EQ(row.size(), 3u);
                    for (double ns : row) EXPECT_EQ(ns, slept) << c.what << ": " << r.hash << " " << name;
                }
                if (c.ratios[i] == 0) continue;
                const double ratio = f.mark == "best" ? 1 : f.to_best.estimate;
                EXPECT_NEAR(ratio, c.ratios[i], 0.1 * c.ratios[i]) << c.what << ": " << r.hash << " " << name;
                EXPECT_EQ(f.mark, c.ratios[i] == 1 ? "best" : "") << c.what << ": " << r.hash << " " << name;
            }
        }
        if (c.ratios[0] == 0) continue;
        const table_advice a = s.advice();
        EXPECT_EQ(a.fastest, "one") << c.what;
        ASSERT_EQ(a.slower.size(), 2u) << c.what;
        EXPECT_EQ(a.slower[0].hash, "two") << c.what;
        EXPECT_EQ(a.slower[1].hash, "three") << c.what;
        EXPECT_TRUE(a.within.empty() && a.undecided.empty()) << c.what;
    }
}

// When the reference, the one hash every group holds, is left out as too slow, hashes of different
// groups were never timed side by side: their ratio is undecided, never a tie or a number.
TEST(CostStudy, GroupsWhoseReferenceWasLeftOutAreUndecided) {
    const std::vector<lab_hash> hashes = {sleeper("three"), sleeper("one"), sleeper("none")};
    table_study s = sleeper_study(hashes, 2);
    for (int round = 0; round < 3; ++round) s.round(round == 0, 8e6);
    s.mark();
    const std::vector<cost_result> results = s.results();
    EXPECT_TRUE(results[0].too_slow);
    for (const auto& [name, figure] : cost_time_figures) {
        EXPECT_EQ((results[1].*figure).mark, "best") << name;
        EXPECT_EQ((results[2].*figure).mark, "undecided") << name;
    }
    const table_advice a = s.advice();
    EXPECT_EQ(a.fastest, "one");
    ASSERT_EQ(a.undecided.size(), 1u);
    EXPECT_EQ(a.undecided[0].hash, "none");
}

// The machine slows down as the study runs, groups far apart in time: each member's ratio to
// another of a different group goes through the reference timed beside each, so the drift
// cancels; any pairing across groups (a wrong group's reference, whole loops) would show it.
TEST(CostStudy, DriftCancelsThroughEachGroupsReference) {
    const std::vector<lab_hash> hashes = {sleeper("two"), sleeper("one"), sleeper("three")};
    drift_per_ms = 0.001;
    table_study s = sleeper_study(hashes, 2);
    for (int round = 0; round < 3; ++round) s.round(round == 0, 1e12);
    s.mark();
    drift_per_ms = 0;
    const std::vector<cost_result> results = s.results();
    EXPECT_EQ(results[2].group, 1);
    for (const auto& [name, figure] : cost_time_figures) {
        EXPECT_EQ((results[1].*figure).mark, "best") << name;
        EXPECT_NEAR((results[0].*figure).to_best.estimate, 2, 0.02) << name;
        EXPECT_NEAR((results[2].*figure).to_best.estimate, 3, 0.03) << name;
        // The jackknife leaves out whole rounds (a round's lookup passes together): 3 replicates.
        EXPECT_EQ((results[2].*figure).to_best.samples, 3u) << name;
    }
    const table_advice a = s.advice();
    ASSERT_EQ(a.slower.size(), 2u);
    EXPECT_NEAR(a.slower[1].to_fastest.estimate, 3, 0.03);
}

// The advice weighs a rival's ratios by the fastest hash's own costs of filling and looking up:
// "one" spends as long on each, so a rival as quick to fill and ten times slower to look up is
// 5.5 times slower on the whole (its own costs would make it 9.2).
TEST(CostStudy, TheWorkloadIsWeighedByTheFastestsCosts) {
    const std::vector<lab_hash> hashes = {sleeper("one"), sleeper("lopsided")};
    table_study s = sleeper_study(hashes, 2);
    for (int round = 0; round < 3; ++round) s.round(round == 0, 1e12);
    s.mark();
    const table_advice a = s.advice();
    EXPECT_EQ(a.fastest, "one");
    ASSERT_EQ(a.slower.size(), 1u);
    EXPECT_NEAR(a.slower[0].to_fastest.estimate, 5.5, 1e-9);
}

// A hash slower on the whole but not in every round is tied: its interval, not its estimate, decides.
TEST(CostStudy, TiedByTheIntervalNotTheEstimate) {
    const std::vector<lab_hash> hashes = {sleeper("one"), sleeper("wobbly")};
    table_study s = sleeper_study(hashes, 2);
    for (int round = 0; round < 5; ++round) s.round(round == 0, 1e12);
    s.mark();
    const std::vector<cost_result> results = s.results();
    int slower_yet_tied = 0;
    for (const auto& [name, figure] : cost_time_figures) {
        const interval& i = (results[1].*figure).to_best;
        ASSERT_GT(i.estimate, 1) << name;  // never faster: its parts all cost 1.05 ms or more
        slower_yet_tied += i.low <= 1;
        EXPECT_EQ((results[1].*figure).mark, i.low <= 1 ? "tied" : "") << name << ": " << i.low << " to " << i.high;
    }
    EXPECT_GT(slower_yet_tied, 0) << "the case needs an estimate above 1 whose interval reaches 1";
}

// A hash slower in every part, however erratic, is slower: its interval is wide but wholly above 1.
TEST(CostStudy, PlainlySlowerIsSlowerHoweverWide) {
    const std::vector<lab_hash> hashes = {sleeper("one"), sleeper("erratic")};
    table_study s = sleeper_study(hashes, 2);
    for (int round = 0; round < 4; ++round) s.round(round == 0, 1e12);
    s.mark();
    int wide = 0;
    const std::vector<cost_result> results = s.results();
    for (const auto& [name, figure] : cost_time_figures) {
        const cost_figure& f = results[1].*figure;
        wide += f.to_best.high > 2 * f.to_best.low;
        EXPECT_EQ(f.mark, "") << name;
    }
    EXPECT_GT(wide, 0) << "the case needs a wide interval";
    const table_advice a = s.advice();
    EXPECT_EQ(a.fastest, "one");
    ASSERT_EQ(a.slower.size(), 1u);
    EXPECT_TRUE(a.undecided.empty());
}

// The advice in words: the fastest, those within the interval of it (bounded by the widest upper
// end among them), then the slower ones by their ratio, then the undecided.
TEST(CostStudy, TheAdviceLineNamesTheFastestTheTiedAndHowMuchSlowerTheRest) {
    table_advice a;
    a.table = "absl::flat_hash_map";
    a.fastest = "wyhash";
    a.within = {{"xxh3", {1.005, 0.99, 1.02, 0.95, 4}}, {"farmhash64", {1.01, 0.995, 1.015, 0.95, 4}}};
    a.slower = {{"std", {1.31, 1.29, 1.33, 0.95, 4}}, {"siphash", {2.5, 2.4, 2.61, 0.95, 4}},
                {"narrow", {2.6, 2.598, 2.603, 0.95, 4}}};
    a.undecided = {{"plugin", {3, 0.1, 90, 0.95, 4}}};
    EXPECT_EQ(a.text(), "absl::flat_hash_map: fastest wyhash; within 2 %: xxh3, farmhash64; std +31 % (29 to 33 %); "
                        "siphash +150 % (140 to 161 %); narrow +160 % (159.8 to 160.3 %); plugin undecided");
    a.within.clear();
    a.slower.clear();
    a.undecided.clear();
    EXPECT_EQ(a.text(), "absl::flat_hash_map: fastest wyhash");
}

// A table that degenerates (every key in one place) overruns a small first budget and is left out,
// with the loop, the operations done and their cost; the others go on.
TEST(CostStudy, AnOverrunningTableIsLeftOut) {
    const std::vector<lab_hash> hashes = {sleeper("one"), sleeper("slow")};  // 1 and 50 ms a part
    table_study s = sleeper_study(hashes, 10);
    s.round(true, 20e6);
    s.round(false, 20e6);
    s.mark();
    const cost_result slow = s.results()[1];
    EXPECT_TRUE(slow.too_slow);
    EXPECT_EQ(slow.cut_in, "insert");
    EXPECT_EQ(slow.cut_after, 8192u);  // its first part: 50 ms, past the budget of 20
    EXPECT_EQ(slow.cut_ns, 50e6 / 8192);
    EXPECT_EQ(s.results()[0].runs, 2);
    EXPECT_EQ(s.results()[0].hit.mark, "best");
}

// google::dense_hash_map's empty key: a key set holding it is refused before any work, only when
// that table is chosen; and it lives in the string's own buffer, as every empty slot holds a copy.
TEST(CostStudy, DenseHashMapsEmptyKeyIsRefusedAndSmall) {
    key_set keys = make_key_set("decimal:100", 1);
    keys.add(dense_empty_key);
    cost_effort effort;
    effort.memory_bytes = 1e9;
    EXPECT_THROW(check_cost_study({table_named("google::dense_hash_map")}, keys, effort), bad_input);
    EXPECT_NO_THROW(check_cost_study({table_named("absl::flat_hash_map")}, keys, effort));
    EXPECT_LE(dense_empty_key.size(), std::string().capacity());
}

TEST(Tables, CountingAllocatorCountsLiveAndPeakBytes) {
    // A tree allocates one node per entry and frees nothing while it fills; each table of a study
    // counts its own bytes, though they fill in turn.
    const lab_hash& h = builtin_hashes().front();
    const auto bytes = [&](const char* keys, const char* table) {
        const key_set set = make_key_set(keys, 1);
        const study_keys study = prepare_study(set, 1);
        table_study s(table_named(table), {&h, &h}, study, set.size(), set.name, 10, 1);
        s.round(true, 1e10);
        return s.results();
    };
    const auto small = bytes("decimal:10000", "std::map"), large = bytes("decimal:40000", "std::map");
    EXPECT_EQ(small[0].bytes_per_entry.median, large[0].bytes_per_entry.median);
    EXPECT_EQ(small[0].peak_bytes_per_entry.median, small[0].bytes_per_entry.median);
    EXPECT_GE(small[0].bytes_per_entry.median, sizeof(std::string) + sizeof(uint32_t) + 3 * sizeof(void*));
    const auto hashed = bytes("decimal:10000", "absl::flat_hash_map");
    EXPECT_EQ(hashed[0].bytes_per_entry.median, hashed[1].bytes_per_entry.median);
    EXPECT_GT(hashed[0].peak_bytes_per_entry.median, hashed[0].bytes_per_entry.median);
}

// One table's answer from its paired intervals: the fastest sound hash is used; a sound hash whose
// interval over it holds 1 is named tied, one wholly slower is not; an unsound hash faster than it
// is listed with its reason and never used; with nothing sound, the answer says so.
TEST(Choose, UsesTheFastestSoundHashNamingTiesAndFasterUnsound) {
    const auto over_a = [](double estimate, double low, double high) {
        interval i;
        i.estimate = estimate, i.low = low, i.high = high;
        return i;
    };
    table_advice advice;
    advice.table = "t";
    advice.by_speed = {"fast_bad", "a", "b", "c", "slow_bad"};
    advice.paired["fast_bad"]["a"] = over_a(0.90, 0.85, 0.95);
    advice.paired["b"]["a"] = over_a(1.02, 0.97, 1.08);
    advice.paired["c"]["a"] = over_a(1.30, 1.20, 1.40);
    advice.paired["slow_bad"]["a"] = over_a(1.50, 1.40, 1.60);
    std::vector<lab::choose::candidate> candidates = {{"fast_bad", "", "fails the battery on its values: zeros"},
                                                      {"a", "", ""}, {"b", "", ""}, {"c", "", ""},
                                                      {"slow_bad", "spreads your keys worse than an ideal hash", ""}};
    const auto a = lab::choose::answer_for(advice, candidates, false);
    EXPECT_EQ(a.use, "a");
    EXPECT_EQ(a.fastest, "fast_bad");
    ASSERT_EQ(a.tied.size(), 1u);
    EXPECT_EQ(a.tied[0].hash, "b");
    ASSERT_EQ(a.faster_unsound.size(), 1u);
    EXPECT_EQ(a.faster_unsound[0].hash, "fast_bad");
    EXPECT_NE(a.text().find("use a: the fastest"), std::string::npos) << a.text();
    EXPECT_NE(a.text().find("tied with it: b (+2 %, -3 to 8 %)"), std::string::npos) << a.text();
    EXPECT_NE(a.text().find("faster but unsound: fast_bad (-10 %: fails the battery on its values: zeros)"),
              std::string::npos) << a.text();
    for (auto& c : candidates) c.battery_fault = "fails";
    const auto none = lab::choose::answer_for(advice, candidates, false);
    EXPECT_TRUE(none.use.empty());
    EXPECT_NE(none.text().find("no hash measured here"), std::string::npos) << none.text();
}

}  // namespace
