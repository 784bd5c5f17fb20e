#include "cost_study.h"

#include <algorithm>
#include <chrono>

void mark_table(std::vector<cost_result*>& table, std::size_t operations) {
    std::vector<cost_result*> peers;
    for (auto* c : table)
        if (!c->too_slow && c->runs > 0) peers.push_back(c);
    for (const auto& [name, figure] : cost_time_figures) {
        (void)name;
        cost_figure* best = nullptr;
        for (auto* p : peers) {
            cost_figure& f = p->*figure;
            f.ns = fastest_parts(f.parts, operations);
            if (best == nullptr || f.ns < best->ns) best = &f;
        }
        for (auto* p : peers) {
            cost_figure& f = p->*figure;
            // A round's passes: one fill, or every lookup pass of its run.
            const std::size_t passes = f.parts.size() / static_cast<std::size_t>(p->runs);
            f.to_best = &f == best ? interval{} : ratio_interval(f.parts, best->parts, passes);
            f.mark = &f == best ? "best" : f.to_best.low <= 1 ? "tied" : "";
        }
    }
}

std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, const cost_effort& effort, uint64_t seed) {
    for (const auto& t : tables)
        for (std::size_t i = 0; t.id == table_id::dense && i < keys.size(); ++i)
            if (keys.key(i) == dense_empty_key)
                throw bad_input("key set " + keys.name + " holds the key google::dense_hash_map reserves for its empty slots");
    const study_keys study = prepare_study(keys, seed);
    struct combination {
        const lab_hash* hash;
        cost_result result;
    };
    // One group of combinations per table: they take their rounds together, so that each round
    // holds every hash of the table, in an order shuffled anew each round.
    struct group {
        const lab_table* table;
        std::vector<combination> members;
        bool open = true;
    };
    std::vector<group> groups;
    for (const auto& table : tables) {
        groups.push_back({&table, {}});
        for (const auto& h : hashes) {
            if (!h.deterministic()) continue;
            cost_result r;
            r.table = table.name;
            r.hash = table.hashed ? h.name : "none";
            r.keys = keys.name;
            r.key_count = keys.size();
            groups.back().members.push_back({&h, r});
            if (!table.hashed) break;  // std::map: once, whatever the hash
        }
    }
    // Long enough for any table that works, short enough that the study ends in minutes.
    const auto first_budget = std::max<std::chrono::steady_clock::duration>(
        std::chrono::seconds(1), std::chrono::microseconds(2) * static_cast<long>(keys.size()));
    std::size_t count = 0;
    for (const auto& g : groups) count += g.members.size();
    const double budget = effort.budget_seconds > 0 ? effort.budget_seconds : effort.seconds_per_combination * count;
    const double start = steady_seconds();
    disturbance_check check;
    const auto calibrate = [&] { return check.calibrate(); };
    const auto run_one = [&](const lab_table& table, combination& c, bool first) {
        cost_result& r = c.result;
        table_run run;
        // Past the budget (the fewest rounds took longer), runs neither wait nor are timed again.
        const bool spent = steady_seconds() - start > budget;
        const quiet_rules rules = spent ? quiet_rules{0, 1e9, 0} : quiet_rules{};
        r.dropped += run_when_quiet(check, calibrate, [&] {
            run = c.hash->run_in_table(*c.hash, table.id, study,
                                       first ? first_budget : std::chrono::steady_clock::duration::max());
            return run.cut_in.empty();
        }, rules);
        if (!run.cut_in.empty()) {
            r.too_slow = true;
            r.cut_in = run.cut_in;
            r.cut_after = run.cut_after;
            r.cut_ns = run.cut_ns;
            return;
        }
        const auto keep = [](cost_figure& f, const timed_parts& passes) {
            f.parts.insert(f.parts.end(), passes.begin(), passes.end());
        };
        keep(r.insert_ordered, run.insert_ordered_parts);
        keep(r.insert_shuffled, run.insert_shuffled_parts);
        keep(r.hit, run.hit_parts);
        keep(r.miss, run.miss_parts);
        // The same every round: a table's memory depends on its keys, not on the machine.
        r.bytes_per_entry = summarise({run.bytes_per_entry});
        r.peak_bytes_per_entry = summarise({run.peak_bytes_per_entry});
        ++r.runs;
    };
    uint64_t order = seed * 0x9E3779B97F4A7C15ull + 1;
    const auto round = [&](int r) {
        for (auto& g : groups) {
            if (!g.open) continue;
            std::vector<combination*> members;
            for (auto& c : g.members)
                if (!c.result.too_slow) members.push_back(&c);
            for (std::size_t i = members.size(); i > 1; --i) {
                order = order * 6364136223846793005ull + 1442695040888963407ull;
                std::swap(members[i - 1], members[(order >> 33) % i]);
            }
            for (auto* c : members) run_one(*g.table, *c, r == 0);
        }
    };
    const auto mark = [&](group& g) {
        std::vector<cost_result*> table;
        for (auto& c : g.members) table.push_back(&c.result);
        mark_table(table, keys.size());
        return table;
    };
    const auto narrow = [&](const cost_result* c) {
        return std::all_of(std::begin(cost_time_figures), std::end(cost_time_figures), [&](const auto& figure) {
            const cost_figure& f = c->*figure.second;
            return c->too_slow || f.mark == "best" || f.to_best.narrow(effort.resolution);
        });
    };
    const auto enough = [&] {
        bool all = true;
        for (auto& g : groups) {
            if (!g.open) continue;
            const auto table = mark(g);
            g.open = !std::all_of(table.begin(), table.end(), narrow);
            all = all && !g.open;
        }
        return all;
    };
    repeat_rounds(effort.least, effort.most, budget, round, enough, steady_seconds);
    std::vector<cost_result> results;
    for (auto& g : groups) {
        mark(g);
        for (auto& c : g.members) results.push_back(c.result);
    }
    return results;
}
