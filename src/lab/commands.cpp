// The runs of hashlab's commands, and their registry: one row per command.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "check/report.h"
#include "choose/report.h"
#include "cli.h"
#include "collide/ranks.h"
#include "collide/report.h"
#include "core/keys.h"
#include "core/stats.h"
#include "core/parallel.h"
#include "core/text.h"
#include "core/xxh3_dispatch.h"
#include "quality/quality.h"
#include "speed/report.h"
#include "tables/cost_study.h"
#include "measure/report.h"
#include "tables/tables.h"

namespace lab::cli {


namespace {

// How much the cost study may do, from the options.
tables::cost_effort effort_of(const options& opt) {
    tables::cost_effort effort;
    if (opt.quick) effort.seconds_per_combination = 0.25;
    // Two rounds at least: an interval of a ratio needs a second round to see how far it moves.
    if (opt.repeat_given) effort.least = std::max(2, opt.repeat);
    effort.most = std::max(effort.most, effort.least);
    effort.budget_seconds = opt.budget;
    effort.memory_bytes = opt.memory;
    return effort;
}

// The hashes measure and tables take: with no hash named, the cost study takes the hashes a user
// would put in a table.
std::vector<lab_hash> measured_hashes(const options& opt, const std::vector<tables::lab_table>& tables) {
    std::vector<lab_hash> hashes;
    for (auto& h : select_hashes(opt.hashes, opt.plugins))
        if (tables.empty() || !opt.hashes.empty() || h.table_default) hashes.push_back(std::move(h));
    const bool any_for_tables = std::any_of(hashes.begin(), hashes.end(), [](const lab_hash& h) { return h.deterministic(); });
    const bool only_std_map =
        std::all_of(tables.begin(), tables.end(), [](const tables::lab_table& t) { return !t.hashed; });
    if (!tables.empty() && !any_for_tables && !only_std_map)
        throw bad_input("no table can use the chosen hashes: each gives a key a different value per position");
    return hashes;
}

// The key sets, each checked against what the cost study can hold of it.
std::vector<key_set> key_sets_of(const options& opt, const std::vector<tables::lab_table>& tables,
                                 const tables::cost_effort& effort) {
    std::vector<key_set> sets;
    for (const auto& given : opt.keys) {
        set_step("building key set " + given);
        sets.push_back(make_key_set(given, opt.seed));
        // Lines that end in a carriage return alone are not split: say so, the keys are not what was meant.
        if (sets.back().with_cr != 0 && given.rfind("file:", 0) == 0) {
            clear_progress();
            complain("warning: " + with_commas(sets.back().with_cr) + " of the " + with_commas(sets.back().size()) +
                     " keys of " + given + " hold a carriage return: lines end only at a line feed (LF or CR LF); "
                     "convert a file whose lines end in CR alone with tr '\\r' '\\n'");
        }
        tables::check_cost_study(tables, sets.back(), effort);
    }
    return sets;
}

// What measure's and tables' report says of its run before any result.
measure::lab_report measure_report(const options& opt, const std::vector<lab_hash>& hashes,
                                   const std::vector<tables::lab_table>& tables, const tables::cost_effort& effort) {
    measure::lab_report report;
    report.settings = {{"keys", opt.keys}, {"hashes", nlohmann::ordered_json::array()}, {"seed", opt.seed},
                       {"avalanche_sample", opt.sample}, {"repeat", opt.repeat}};
    if (!tables.empty())
        report.settings["table_rounds"] = {{"fewest", effort.least}, {"most", effort.most},
                                           {"budget_seconds", opt.budget > 0 ? nlohmann::ordered_json(opt.budget) : nullptr},
                                           {"seconds_per_combination", effort.seconds_per_combination},
                                           {"resolution", effort.resolution},
                                           {"memory_bytes", opt.memory > 0 ? nlohmann::ordered_json(opt.memory) : nullptr}};
    describe_run(report, hashes);
    for (const auto& t : tables) report.settings["tables"].push_back(t.name);
    report.cost_study = !tables.empty();
    for (const auto& h : hashes)
        if (!h.deterministic()) report.left_out.push_back(h.name);
    return report;
}

int run_measure(const options& opt) {
    io::output_files outputs = check_before_work(opt);
    set_step("loading the hashes");
    std::vector<tables::lab_table> tables;
    if (opt.all_tables) tables = tables::lab_tables();
    for (const auto& name : opt.tables) tables.push_back(tables::table_named(name));
    const std::vector<lab_hash> hashes = measured_hashes(opt, tables);
    const tables::cost_effort effort = effort_of(opt);
    const std::vector<key_set> sets = key_sets_of(opt, tables, effort);

    measure::lab_report report = measure_report(opt, hashes, tables, effort);
    // Read before any work, so that a wrong file costs no study.
    if (!opt.verdicts.empty() && tables.empty())
        throw bad_input("--verdicts marks the cost study's advice: give it with tables, --table or --tables");
    const auto fails_battery =
        opt.verdicts.empty() ? std::map<std::string, tables::battery_failure>{} : choose::battery_failures(opt.verdicts);
    for (const auto& keys : sets) {
        const measure::key_set_summary summary{keys.name, keys.size(), keys.duplicates, keys.with_nul, keys.bytes()};
        report.key_sets.push_back(summary);
        const std::vector<quality::quality_row> rows =
            quality::study_quality(hashes, keys, opt.repeat, opt.sample, opt.seed, set_step);
        report.quality.insert(report.quality.end(), rows.begin(), rows.end());
        clear_progress();
        measure::print_quality(stdout, report, summary);
        flush_stdout();
        if (tables.empty()) continue;

        set_step("measuring the tables on " + keys.name);
        const core_pin pin;
        std::vector<tables::table_advice> advice;
        std::vector<tables::cost_result> study = tables::run_cost_study(hashes, tables, keys, effort, opt.seed, &advice);
        for (auto& c : study)
            for (const auto& row : rows)
                if (row.at("hash") == c.hash) c.hash_ns_per_key = row.at("ns_per_key").get<double>();
        report.costs.insert(report.costs.end(), study.begin(), study.end());
        for (auto& a : advice)
            for (const auto& [hash, why] : fails_battery)
                if (std::any_of(study.begin(), study.end(), [&](const tables::cost_result& c) { return c.hash == hash; }))
                    a.fails_battery[hash] = why;
        report.advice.insert(report.advice.end(), advice.begin(), advice.end());
        clear_progress();
        measure::print_costs(stdout, report, keys.name, pin.description());
        flush_stdout();
    }
    measure::print_findings(stdout, report);
    flush_stdout();

    write_outputs(outputs, opt, report);
    return 0;
}

// hashlab check: the battery over the chosen hashes; status 1 when any of them fails.
int run_check(const options& opt) {
    io::output_files outputs = check_before_work(opt);
    if (!opt.keys.empty() || !opt.tables.empty() || opt.all_tables)
        throw bad_input("check makes its own key sets: choose them with --family, not --keys, --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which check does not give");
    std::vector<const check::check_family*> chosen;
    for (const auto& f : opt.families) {
        const auto& rows = check::check_families();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const check::check_family& r) { return r.name == f; });
        if (row == rows.end()) throw unknown_name("family", f, names_of(rows));
        chosen.push_back(&*row);
    }
    set_step("loading the hashes");
    // With no hash named, every built-in that gives a key one value.
    std::vector<lab_hash> hashes;
    for (const auto& h : chosen_hashes(opt))
        if (h.deterministic() || !opt.hashes.empty()) hashes.push_back(h);
    for (const auto& h : hashes) {
        if (!h.deterministic())
            throw bad_input(h.name + " seeds each key by its place in a set, which the battery has not: check the plain hash");
        for (const check::check_family* f : chosen)
            if (f->seeds && h.seed_bits == 0) throw bad_input("--family " + f->name + ": " + h.name + " takes no seed");
    }
    check::check_report report;
    report.settings = {{"families", opt.families}, {"seed", opt.seed}, {"quick", opt.quick}};
    describe_run(report, hashes);
    report.results = check::run_battery(hashes, opt.quick, opt.families, opt.seed, set_step);
    print_and_write(outputs, opt, report, check::print_check);
    const auto all = check::verdicts(report.hashes, report.results);
    const bool failed = std::any_of(all.begin(), all.end(), [](const check::check_verdict& v) { return v.verdict == "FAIL"; });
    return failed ? exit_hash_failed : 0;
}

// hashlab speed: every hash at every key length, throughput and latency, on one pinned core.
int run_speed(const options& opt) {
    io::output_files outputs = check_before_work(opt);
    if (!opt.keys.empty() || !opt.tables.empty() || opt.all_tables)
        throw bad_input("speed makes its own keys: choose their lengths with --length, not --keys, --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which speed does not give");
    refuse_repeats("--length", opt.lengths);
    std::vector<speed::length_range> chosen;
    for (const auto& text : opt.lengths) chosen.push_back(speed::parse_length(text));
    set_step("loading the hashes");
    const std::vector<lab_hash> hashes = chosen_hashes(opt);
    speed::speed_plan plan = plan_speed(opt.quick, chosen);
    if (opt.repeat_given) plan.rounds = opt.repeat;
    speed::speed_report report;
    report.settings = {{"lengths", opt.lengths}, {"quick", opt.quick}, {"rounds", plan.rounds},
                       {"round_seconds", plan.round_seconds}};
    describe_run(report, hashes);
    report.vector_path = std::string("libxxhash's dispatcher, ") + xxh3_vector_path();
    const core_pin pin;
    report.pinning = pin.description();
    report.points = speed::run_speed_study(hashes, plan, opt.seed, set_step);
    print_and_write(outputs, opt, report, speed::print_speed);
    return 0;
}

// hashlab choose: the quality study, the battery on the values and the cost study on one key set,
// joined into one answer per table.
// The quick battery on the hashes, for choose: a table with one seed sees the values of keys, so
// the families at one seed, unless the keys may be chosen against the seed (--hostile).
std::map<std::string, tables::battery_failure> quick_battery_failures(const options& opt, const std::vector<lab_hash>& hashes) {
    std::vector<std::string> families;
    for (const auto& f : check::check_families())
        if (opt.hostile || f.tests_values_at_one_seed()) families.push_back(f.name);
    check::check_report check;
    describe_run(check, hashes);
    check.results = check::run_battery(hashes, true, opt.hostile ? std::vector<std::string>{} : families, opt.seed, set_step);
    return choose::battery_failures_in(to_json(check), "the battery");
}

// Each hash as choose weighs it: how it spreads the keys, and what the battery found of it.
std::vector<choose::candidate> candidates_of(const options& opt, const std::vector<lab_hash>& hashes, const key_set& keys,
                                             const std::map<std::string, tables::battery_failure>& fails) {
    const std::vector<quality::quality_row> rows =
        quality::study_quality(hashes, keys, opt.repeat, opt.sample, opt.seed, set_step);
    std::vector<choose::candidate> candidates;
    for (const auto& h : hashes) {
        choose::candidate c{h.name, "", ""};
        for (const auto& row : rows)
            if (row.at("hash") == h.name) c.spread_fault = choose::spread_fault(row);
        const auto f = fails.find(h.name);
        if (f != fails.end() && (f->second.on_values || opt.hostile))
            c.battery_fault = std::string("fails the battery") + (f->second.on_values ? " on its values: " : ": ") + f->second.where;
        candidates.push_back(c);
    }
    return candidates;
}

// The whole answer within three minutes (45 s with --quick) unless --budget says otherwise: the
// cost study takes what the battery and the spread left, and two rounds unless --repeat asks for
// more (a ratio's interval needs a second round to see how far it moves; a round of the built-ins
// in two tables on a million keys takes about a minute here, so a third would not fit).
tables::cost_effort choose_effort(const options& opt, tables::cost_effort effort, std::chrono::steady_clock::duration spent) {
    if (!opt.repeat_given) effort.least = 2;
    if (opt.budget <= 0)
        // A round may run a little longer than the longest before it, on which the study's stop
        // rests: 5 % kept aside.
        effort.budget_seconds = std::max(opt.quick ? 10.0 : 30.0, 0.95 * (opt.quick ? 45.0 : 180.0) -
                                                                      std::chrono::duration<double>(spent).count());
    return effort;
}

int run_choose(const options& opt) {
    const auto started = std::chrono::steady_clock::now();
    io::output_files outputs = check_before_work(opt);
    if (opt.keys.size() != 1) throw bad_input("choose answers for one key set: give one --keys (your keys: file:PATH)");
    set_step("loading the hashes");
    std::vector<tables::lab_table> tables;
    if (opt.all_tables) tables = tables::lab_tables();
    for (const auto& name : opt.tables) tables.push_back(tables::table_named(name));
    if (std::none_of(tables.begin(), tables.end(), [](const tables::lab_table& t) { return t.hashed; }))
        throw bad_input("choose answers for hashed tables: std::map takes no hash");
    std::vector<lab_hash> hashes;
    for (auto& h : select_hashes(opt.hashes, opt.plugins))
        if (!opt.hashes.empty() || !opt.plugins.empty() || h.table_default) hashes.push_back(std::move(h));
    for (const auto& h : hashes)
        if (!h.deterministic()) throw bad_input(h.name + " seeds each key by its place in a set: no table can use it");
    tables::cost_effort effort = effort_of(opt);
    // An earlier battery's verdicts, read before any work; or this run's, on what the answer needs.
    std::map<std::string, tables::battery_failure> fails;
    std::string battery = "given, from " + opt.verdicts;
    if (!opt.verdicts.empty()) fails = choose::battery_failures(opt.verdicts);
    set_step("building key set " + opt.keys.front());
    const key_set keys = make_key_set(opt.keys.front(), opt.seed);
    tables::check_cost_study(tables, keys, effort);

    choose::choose_report report;
    report.settings = {{"keys", opt.keys.front()}, {"seed", opt.seed}, {"hostile", opt.hostile}, {"quick", opt.quick},
                       {"verdicts", opt.verdicts.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(opt.verdicts)}};
    describe_run(report, hashes);
    for (const auto& t : tables) report.settings["tables"].push_back(t.name);
    report.keys = keys.name;
    report.key_count = keys.size();
    report.hostile = opt.hostile;
    if (opt.verdicts.empty()) {
        fails = quick_battery_failures(opt, hashes);
        battery = opt.hostile ? "quick, every family" : "quick, the families at one seed";
    }
    report.battery = battery;
    report.candidates = candidates_of(opt, hashes, keys, fails);
    effort = choose_effort(opt, effort, std::chrono::steady_clock::now() - started);
    set_step("measuring the tables on " + keys.name);
    std::vector<tables::table_advice> advice;
    {
        const core_pin pin;
        tables::run_cost_study(hashes, tables, keys, effort, opt.seed, &advice);
    }
    for (const auto& a : advice) report.answers.push_back(answer_for(a, report.candidates, opt.hostile));
    print_and_write(outputs, opt, report, choose::print_choose);
    return 0;
}

// hashlab collide: every chosen hash over the first N keys of one index family, pass by pass.
volatile sig_atomic_t interrupted = 0;

int run_collide(const options& opt) {
    io::output_files outputs = check_before_work(opt);
    if (!opt.tables.empty() || opt.all_tables) throw bad_input("collide counts collisions: it takes no --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which collide does not give");
    if (opt.keys.size() > 1) throw bad_input("collide takes one --keys family, one of " + indexed_family_usages());
    const indexed_keys keys = index_family(opt.keys.empty() ? "counter:16" : opt.keys.front(), opt.seed);
    const uint64_t count = parse_count("--count", opt.count);
    if (count < 2) throw bad_input("--count " + opt.count + ": at least two keys, for a pair to collide");
    if (count > keys.size)
        throw bad_input("--count " + opt.count + ": " + keys.given + " holds only " + with_commas(keys.size) + " keys");
    if (opt.hashes.empty() && opt.plugins.empty()) throw bad_input("collide needs a hash: --hash or --plugin");
    std::vector<lab_hash> hashes = chosen_hashes(opt);
    for (const auto& h : hashes)
        if (!h.deterministic()) throw bad_input(h.name + " seeds each key by its place in a set: collide the plain hash");
    int rank = 0, ranks = 1;
    collide::collide_ranks(rank, ranks);
    struct finish {
        ~finish() { collide::collide_finish(); }
    } finishes_mpi;
    // The buckets are the run's only large memory: 70 % of what is free leaves the machine room.
    const double memory = opt.memory > 0 ? opt.memory : 0.7 * free_memory();
    uint64_t passes = 0;
    for (const auto& h : hashes) passes = std::max(passes, collide::passes_for(count, memory, ranks, h.width));
    collide::collide_report report;
    report.settings = {{"keys", keys.given}, {"count", count}, {"seed", opt.seed}, {"memory", memory}, {"passes", passes},
                       {"ranks", ranks}, {"show", opt.show}};
    describe_run(report, hashes);
    // Ctrl-C ends the count after the pass under way, and the report says what was counted; every
    // rank hears of it before the next pass, so that all of them stop together.
    struct sigaction quiet {}, before {};
    quiet.sa_handler = [](int) { interrupted = 1; };
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGINT, &quiet, &before);
    for (const auto& h : hashes) {
        collide::collide_hooks hooks;
        hooks.step = [&](const std::string& doing) { set_step("collide " + h.name + ": " + doing); };
        hooks.counted = [&](const collide::collide_result& r, uint64_t pass) {
            if (rank == 0)
                set_step(format("collide %s: pass %llu of %llu, %s collisions where %.3g are expected, p(more) %s",
                                r.hash.c_str(), (unsigned long long)pass + 1, (unsigned long long)passes,
                                with_commas(r.collisions).c_str(), r.expected, p_value(r.log2_p_more).c_str()));
        };
        hooks.stop = [] { return interrupted != 0; };
        report.results.push_back(lab::collide::collide(h, keys, count, passes, opt.seed, opt.show, hooks));
    }
    sigaction(SIGINT, &before, nullptr);
    const bool stopped = collide::any_rank(interrupted != 0);  // Ctrl-C may have reached another rank only
    if (rank != 0) return 0;
    print_and_write(outputs, opt, report, collide::print_collide);
    if (stopped) return 128 + SIGINT;  // as the other commands end on Ctrl-C
    const double fail_log2 = fail_threshold_log2(report.results.size());
    return std::any_of(report.results.begin(), report.results.end(), [&](const collide::collide_result& r) {
        return !r.crowded.empty() || (!r.done.empty() && r.log2_p_more < fail_log2);
    }) ? exit_hash_failed : 0;
}

}  // namespace

const std::vector<command>& commands() {
    static const std::vector<command> rows = {
        {.name = "measure", .about = "quality and speed of every hash on the key sets (the default)", .takes_keys = true,
         .run = run_measure},
        {.name = "tables", .about = "the same, then the cost of each hash inside real tables", .takes_keys = true,
         .defaults = [](options& o) { o.all_tables = o.all_tables || o.tables.empty(); }, .run = run_measure},
        {.name = "check",
         .about = "the battery of structured key sets: a p-value for every result and a verdict per hash; status 1 "
                  "when one fails",
         .own_options =
             [](CLI::App& c, options& o) {
                 c.add_option("--family", o.families, "a family of the battery, repeatable (default: all; see --list)");
             },
         .run = run_check},
        {.name = "collide",
         .about = "full-width collisions of a hash over billions of keys, out of core (and across machines under "
                  "mpirun); status 1 when a hash collides more than an ideal one would (p < 0.001)",
         .own_options =
             [](CLI::App& c, options& o) {
                 c.add_option("--count", o.count, "keys to hash: a number, 2^N, or with K, M, G, T, Ki, Mi, Gi, Ti")
                     ->capture_default_str();
                 c.add_option("--show", o.show, "colliding pairs to name with their keys (0: none; costs one more pass "
                                                "over the keys when any collide)")
                     ->check(CLI::Range(0, 100000))
                     ->capture_default_str();
             },
         .run = run_collide},
        {.name = "choose",
         .about = "which hash for your keys in your table: how each spreads the keys, its battery verdict on its "
                  "values and its cost in each table timed side by side, then one answer per table",
         .own_options =
             [](CLI::App& c, options& o) {
                 c.add_flag("--hostile", o.hostile, "keys an attacker may choose against a secret seed: a hash must pass "
                                                    "the whole battery, its seeded families too");
             },
         .takes_keys = true,
         .defaults =
             [](options& o) {
                 if (o.tables.empty() && !o.all_tables) o.tables = {"absl::flat_hash_map", "std::unordered_map"};
             },
         .run = run_choose},
        {.name = "speed", .about = "ns per hash by key length, throughput and latency, on one core",
         .own_options =
             [](CLI::App& c, options& o) {
                 c.add_option("--length", o.lengths, "a key length N or a range A-B of random lengths (B at most 65536), "
                                                     "repeatable (default: 1 to 128, powers of two to 1 MiB, and 1-8 to "
                                                     "1-128)");
             },
         .run = run_speed},
    };
    return rows;
}

}  // namespace lab::cli
