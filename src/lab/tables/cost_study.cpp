#include "tables/cost_study.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "core/parallel.h"
#include "core/text.h"

namespace lab::tables {

namespace {

// A ratio whose interval spans more than this factor and reaches down to a tie says nothing about
// which hash is faster; one wholly above 1 is slower however wide (a plugin thousands of times
// slower, and erratic with it).
constexpr double undecided_span = 2;
}  // namespace

standing standing_of(const interval& i) {
    if (i.low > 1) return standing::slower;
    return i.high <= undecided_span * i.low ? standing::tied : standing::undecided;
}

namespace {

std::string percent(double ratio) { return format("%+.0f %%", 100 * (ratio - 1)); }

replicates divided(const replicates& a, const replicates& b) {
    replicates r(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = a[i] / b[i];
    return r;
}

}  // namespace

double steady_ns() {
    static const auto start = std::chrono::steady_clock::now();  // a double keeps ns exact from here
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

table_study::table_study(const lab_table& table, const std::vector<const lab_hash*>& hashes, const study_keys& keys,
                         std::size_t key_count, const std::string& keys_name, std::size_t tables_per_group,
                         uint64_t seed, lane_factory make, nanosecond_clock now)
    : table_(table), hashes_(hashes), keys_(keys), key_count_(key_count), order_(seed), make_(std::move(make)),
      now_(std::move(now)) {
    if (hashes_.empty()) throw std::logic_error("a table study without hashes");
    const std::size_t per = std::max<std::size_t>(2, tables_per_group);
    const auto add = [&](std::size_t member) {
        lane l;
        l.member = member;
        l.result.table = table.name;
        l.result.hash = table.hashed ? hashes_[member]->name : "none";
        l.result.keys = keys_name;
        l.result.key_count = key_count;
        l.result.group = static_cast<int>(groups_.size() - 1);
        groups_.back().push_back(std::move(l));
    };
    // Every group after the first starts with the reference, hash 0, timed beside its members.
    for (std::size_t m = 0; m < hashes_.size(); ++m) {
        if (groups_.empty() || groups_.back().size() == per) {
            groups_.emplace_back();
            if (m != 0) add(0);
        }
        add(m);
    }
}

table_study::lane& table_study::home(std::size_t member) {
    for (auto& group : groups_)
        for (auto& l : group)
            if (l.member == member) return l;  // the first group it is in
    throw std::logic_error("no lane of a member");
}

const table_study::lane& table_study::home(std::size_t member) const {
    return const_cast<table_study*>(this)->home(member);
}

const table_study::lane* table_study::beside(std::size_t member, int group) const {
    for (const auto& l : groups_[static_cast<std::size_t>(group)])
        if (l.member == member) return &l;
    return nullptr;
}

std::vector<std::size_t> table_study::measured() const {
    std::vector<std::size_t> members;
    for (std::size_t m = 0; m < hashes_.size(); ++m)
        if (!home(m).result.too_slow && home(m).result.runs > 0) members.push_back(m);
    return members;
}

const char* name_of(cost_figure cost_result::*figure) {
    for (const auto& [name, f] : cost_time_figures)
        if (f == figure) return name;
    return "";
}

// Each part of the loop is done for every table in turn, in an order shuffled anew per part, so
// that no hash is always the first after another's work; the clock is read around each table's
// part only, with that table's allocation count swapped in.
template <class Work>
void table_study::lockstep(std::vector<lane*>& lanes, std::size_t n, figure f, bool first,
                           double budget_ns, Work work) {
    for (lane* l : lanes) {
        (l->result.*f).operations = n;
        timed_parts& rows = (l->result.*f).parts;
        rows.emplace_back().reserve((n + table_part - 1) / table_part);
        l->elapsed = 0;
    }
    std::vector<lane*> order = lanes;
    for (std::size_t begin = 0; begin < n; begin += table_part) {
        const std::size_t end = std::min(n, begin + table_part);
        std::shuffle(order.begin(), order.end(), order_);
        for (lane* l : order) {
            if (l->result.too_slow) continue;
            std::vector<double>& row = (l->result.*f).parts.back();
            allocations = l->memory;
            const double start = now_();
            work(*l, begin, end);
            const double ns = now_() - start;
            l->memory = allocations;
            row.push_back(ns);
            l->elapsed += ns;
            // Past its budget, or a sixteenth of the way through at a pace that would take twice it:
            // a table that degenerates only slows down as it fills.
            const double pace = l->elapsed * static_cast<double>(n) / static_cast<double>(end);
            if (first && (l->elapsed > budget_ns || (16 * end >= n && pace > 2 * budget_ns))) {
                l->result.too_slow = true;
                l->result.cut_in = name_of(f);
                l->result.cut_after = end;
                l->result.cut_ns = l->elapsed / static_cast<double>(end);
                l->table.reset();
            }
        }
    }
    lanes.erase(std::remove_if(lanes.begin(), lanes.end(), [](const lane* l) { return l->result.too_slow; }),
                lanes.end());
}

void table_study::round_of(std::vector<lane>& group, bool first, double first_budget_ns) {
    const std::size_t n = key_count_;
    std::vector<lane*> lanes;
    for (auto& l : group)
        if (!l.result.too_slow) lanes.push_back(&l);
    const auto fill = [&](const std::vector<std::string>& keys, figure f) {
        for (lane* l : lanes) {
            l->memory = {};
            l->table = make_(*hashes_[l->member], table_.id);
        }
        lockstep(lanes, n, f, first, first_budget_ns,
                 [&](lane& l, std::size_t begin, std::size_t end) { l.table->insert(keys.data(), begin, end); });
        for (lane* l : lanes)
            if (l->table->size() != n) throw std::logic_error("a table lost keys in its fill");
    };
    fill(keys_.ordered, &cost_result::insert_ordered);
    for (lane* l : lanes) {
        // The same every round: a table's memory depends on its keys, not on the machine.
        l->result.bytes_per_entry = summarise({static_cast<double>(l->memory.live) / static_cast<double>(n)});
        l->result.peak_bytes_per_entry = summarise({static_cast<double>(l->memory.peak) / static_cast<double>(n)});
        l->table.reset();
    }
    fill(keys_.shuffled, &cost_result::insert_shuffled);
    for (lane* l : lanes) l->found = 0;
    const auto look = [&](const std::vector<std::string>& keys, figure f) {
        lockstep(lanes, keys.size(), f, first, first_budget_ns, [&](lane& l, std::size_t begin, std::size_t end) {
            l.found += l.table->find(keys.data(), begin, end);
        });
    };
    for (int pass = 0; pass < lookup_passes; ++pass) {
        look(keys_.found, &cost_result::hit);
        look(keys_.absent, &cost_result::miss);
    }
    for (lane* l : lanes) {
        if (l->found != keys_.found.size() * lookup_passes) throw std::logic_error("a table did not find its keys, or found absent ones");
        l->table.reset();
        ++l->result.runs;
    }
}

void table_study::round(bool first, double first_budget_ns) {
    for (auto& group : groups_) round_of(group, first, first_budget_ns);
}

replicates table_study::ratio(std::size_t a, std::size_t b, figure f) const {
    const lane& la = home(a);
    const std::size_t per = (la.result.*f).parts.size() / static_cast<std::size_t>(std::max(1, la.result.runs));
    if (const lane* lb = beside(b, la.result.group))
        return paired_ratio((la.result.*f).parts, (lb->result.*f).parts, per);
    // Through the reference, which ran beside both.
    const auto to_reference = [&](std::size_t m) {
        const lane& l = home(m);
        const lane* reference = beside(0, l.result.group);
        if (reference == nullptr || reference->result.too_slow) return replicates{};
        return paired_ratio((l.result.*f).parts, (reference->result.*f).parts, per);
    };
    return divided(to_reference(a), to_reference(b));
}

replicates table_study::workload_ratio(std::size_t a, std::size_t b) const {
    // The two figures weighted by b's cost of each, so that the ratio is one of their sum.
    const figure parts[] = {&cost_result::insert_shuffled, &cost_result::hit};
    replicates sum;
    double weights = 0;
    for (figure f : parts) {
        const double weight = (home(b).result.*f).ns;
        const replicates r = ratio(a, b, f);
        if (sum.empty()) sum.assign(r.size(), 0);
        for (std::size_t i = 0; i < std::min(sum.size(), r.size()); ++i) sum[i] += weight * r[i];
        weights += weight;
    }
    for (double& x : sum) x /= weights;
    return sum;
}

void table_study::mark() {
    const std::vector<std::size_t> members = measured();
    for (auto& group : groups_)
        for (auto& l : group)
            for (const auto& [name, f] : cost_time_figures) {
                (void)name;
                (l.result.*f).ns = fastest_parts((l.result.*f).parts, (l.result.*f).operations);
            }
    if (members.empty()) return;
    for (const auto& [name, f] : cost_time_figures) {
        (void)name;
        // The best by its paired ratio to any one member: all are measured against the same one.
        std::size_t best = members.front();
        double lowest = 1;
        for (std::size_t m : members) {
            const replicates r = ratio(m, members.front(), f);
            if (!r.empty() && r.front() < lowest) lowest = r.front(), best = m;
        }
        for (std::size_t m : members) {
            cost_figure& figure = home(m).result.*f;
            if (m == best) {
                figure.to_best = {};
                figure.mark = "best";
                continue;
            }
            figure.to_best = ratio_interval(ratio(m, best, f));
            const standing st = standing_of(figure.to_best);
            figure.mark = st == standing::undecided ? "undecided" : st == standing::tied ? "tied" : "";
        }
    }
}

bool table_study::narrow(double resolution) const {
    for (std::size_t m : measured())
        for (const auto& [name, f] : cost_time_figures) {
            (void)name;
            const cost_figure& figure = home(m).result.*f;
            if (figure.mark != "best" && !figure.to_best.narrow(resolution)) return false;
        }
    return true;
}

std::vector<cost_result> table_study::results() const {
    std::vector<cost_result> out;
    for (std::size_t m = 0; m < hashes_.size(); ++m) out.push_back(home(m).result);
    return out;
}

table_advice table_study::advice() const {
    table_advice a;
    a.table = table_.name;
    a.keys = home(0).result.keys;
    const std::vector<std::size_t> members = measured();
    if (members.empty() || !table_.hashed) return a;
    std::size_t fastest = members.front();
    double lowest = 1;
    for (std::size_t m : members) {
        const replicates r = workload_ratio(m, members.front());
        if (!r.empty() && r.front() < lowest) lowest = r.front(), fastest = m;
    }
    a.fastest = hashes_[fastest]->name;
    for (std::size_t m : members) {
        if (m == fastest) continue;
        const table_advice::rival r{hashes_[m]->name, ratio_interval(workload_ratio(m, fastest))};
        const standing st = standing_of(r.to_fastest);
        (st == standing::undecided ? a.undecided : st == standing::tied ? a.within : a.slower).push_back(r);
    }
    for (auto* list : {&a.within, &a.slower, &a.undecided})
        std::sort(list->begin(), list->end(), [](const auto& x, const auto& y) {
            return x.to_fastest.estimate < y.to_fastest.estimate;
        });
    std::vector<std::pair<double, std::string>> order{{0.0, a.fastest}};
    for (const auto* list : {&a.within, &a.slower, &a.undecided})
        for (const auto& r : *list) order.emplace_back(r.to_fastest.estimate, r.hash);
    std::stable_sort(order.begin(), order.end());
    for (const auto& [estimate, hash] : order) a.by_speed.push_back(hash);
    for (std::size_t x : members)
        for (std::size_t y : members)
            if (x != y) a.paired[hashes_[x]->name][hashes_[y]->name] = ratio_interval(workload_ratio(x, y));
    return a;
}

std::string table_advice::text() const {
    if (fastest.empty()) return table + ": no hash to compare";
    const auto marked = [&](const std::string& hash) {
        const auto f = fails_battery.find(hash);
        if (f == fails_battery.end()) return hash;
        return hash + (f->second.on_values ? " (fails the battery on its values: " : " (fails the battery, not on its values: ") +
               f->second.where + ")";
    };
    std::string line = table + ": fastest " + marked(fastest);
    if (!within.empty()) {
        double bound = 1;
        std::string names;
        for (const auto& r : within) {
            bound = std::max(bound, r.to_fastest.high);
            names += (names.empty() ? "" : ", ") + marked(r.hash);
        }
        line += format("; within %.0f %%: ", 100 * (bound - 1)) + names;
    }
    for (const auto& r : slower) {
        const double low = 100 * (r.to_fastest.low - 1), high = 100 * (r.to_fastest.high - 1);
        // Bounds within a percent of each other get a decimal, so that an interval never reads "11 to 11".
        const int digits = std::lround(low) == std::lround(high) ? 1 : 0;
        line += "; " + marked(r.hash) + " " + percent(r.to_fastest.estimate) +
                format(" (%.*f to %.*f %%)", digits, low, digits, high);
    }
    for (const auto& r : undecided) line += "; " + marked(r.hash) + " undecided";
    const auto sound = [&](const std::string& hash) {
        const auto f = fails_battery.find(hash);
        return f == fails_battery.end() || !f->second.on_values;
    };
    if (!sound(fastest)) {
        // The quickest whose values passed, for the reader who reads no further than this line.
        std::string first;
        for (const auto* list : {&within, &slower, &undecided})
            for (const auto& r : *list)
                if (first.empty() && sound(r.hash)) first = r.hash;
        line += first.empty() ? "; no hash here passes the battery on its values"
                              : "; the fastest whose values pass the battery: " + first;
    }
    return line;
}

void check_cost_study(const std::vector<lab_table>& tables, const key_set& keys, const cost_effort& effort) {
    for (const auto& t : tables)
        for (std::size_t i = 0; t.id == table_id::dense && i < keys.size(); ++i)
            if (keys.key(i) == dense_empty_key)
                throw bad_input("key set " + keys.name + " holds the key google::dense_hash_map reserves for its empty slots");
    const bool any_hashed = std::any_of(tables.begin(), tables.end(), [](const lab_table& t) { return t.hashed; });
    const double memory = effort.memory_bytes > 0 ? effort.memory_bytes : default_study_memory();
    if (any_hashed && tables_that_fit(keys, memory) < 2)
        throw bad_input(format("--memory %.0f holds fewer than two tables of key set %s (about %.0f bytes each)", memory,
                               keys.name.c_str(), table_bytes(keys)));
}

double table_bytes(const key_set& keys) {
    // Slots of a key and its value at half load, the old table alive beside the new one while it
    // grows, and each key's own bytes where they do not fit in the string.
    using entry = std::pair<std::string, uint32_t>;
    double bytes = 2 * 2 * static_cast<double>(sizeof(entry)) * static_cast<double>(keys.size());
    const std::string small;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (keys.length(i) > small.capacity()) bytes += static_cast<double>(keys.length(i) + 1);
    return std::max(bytes, 1.0);
}

std::size_t tables_that_fit(const key_set& keys, double memory_bytes) {
    return static_cast<std::size_t>(std::max(0.0, std::floor(memory_bytes / table_bytes(keys))));
}

keep_heap::keep_heap(double bytes) {
    // Every block from the heap (no block of its own from the kernel) and none given back: after
    // the pages are touched once here, no table pays for first touching a page in its fill. Which
    // table of a round met fresh pages was chance, and a fresh page costs more than the table's own
    // work in the parts where a table grows.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    const std::size_t size = static_cast<std::size_t>(bytes);
    if (void* block = std::malloc(size)) {
        std::memset(block, 1, size);
        std::free(block);
    }
}

keep_heap::~keep_heap() {
    // glibc's defaults again, and the heap given back.
    mallopt(M_MMAP_MAX, 65536);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    malloc_trim(0);
}

double default_study_memory() {
    return free_memory() > 0 ? 0.5 * free_memory() : 1e9;
}

std::vector<cost_result> run_cost_study(const std::vector<lab_hash>& hashes, const std::vector<lab_table>& tables,
                                        const key_set& keys, const cost_effort& effort, uint64_t seed,
                                        std::vector<table_advice>* advice) {
    check_cost_study(tables, keys, effort);
    const study_keys study = prepare_study(keys, seed);
    std::vector<const lab_hash*> usable;
    for (const auto& h : hashes)
        if (h.deterministic()) usable.push_back(&h);
    if (hashes.empty()) return {};
    const double memory = effort.memory_bytes > 0 ? effort.memory_bytes : default_study_memory();
    const std::size_t fit = tables_that_fit(keys, memory);
    std::deque<table_study> studies;  // built in place: a study holds its tables
    std::size_t count = 0;
    for (const auto& table : tables) {
        // std::map takes no hash: one table, whatever the hashes.
        std::vector<const lab_hash*> members = table.hashed ? usable : std::vector<const lab_hash*>{&hashes.front()};
        if (members.empty()) continue;
        studies.emplace_back(table, members, study, keys.size(), keys.name, fit, seed + studies.size());
        count += members.size();
    }
    // Long enough for any table that works, short enough that the study ends in minutes.
    const double first_budget_ns = std::max(0.25e9, 2e3 * static_cast<double>(keys.size()));
    const double budget = effort.budget_seconds > 0 ? effort.budget_seconds
                                                    : effort.seconds_per_combination * static_cast<double>(count);
    const keep_heap heap(std::min(memory, 1.5 * static_cast<double>(std::min(fit, std::max<std::size_t>(1, usable.size()))) *
                                              table_bytes(keys)));
    std::vector<bool> open(studies.size(), true);
    const auto round = [&](int r) {
        for (std::size_t i = 0; i < studies.size(); ++i)
            if (open[i]) studies[i].round(r == 0, first_budget_ns);
    };
    const auto enough = [&] {
        bool all = true;
        for (std::size_t i = 0; i < studies.size(); ++i) {
            if (!open[i]) continue;
            studies[i].mark();
            open[i] = !studies[i].narrow(effort.resolution);
            all = all && !open[i];
        }
        return all;
    };
    repeat_rounds(effort.least, effort.most, budget, round, enough, steady_seconds);
    std::vector<cost_result> results;
    for (auto& s : studies) {
        s.mark();
        for (auto& c : s.results()) results.push_back(std::move(c));
        if (advice != nullptr && s.results().front().hash != "none") advice->push_back(s.advice());
    }
    return results;
}

}  // namespace lab::tables
