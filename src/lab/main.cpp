// hashlab: how well does each hash spread a set of keys, and what does it cost? The command line,
// and the order of the steps; the studies and the report live beside it.
#include <signal.h>
#include <sodium.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <fstream>
#include <mutex>
#include <new>
#include <thread>

#include "check/report.h"
#include "choose/report.h"
#include "collide/report.h"
#include "collide/ranks.h"
#include "core/keys.h"
#include "core/lab_hashes.h"
#include "core/stats.h"
#include "io/outputs.h"
#include "quality/quality.h"
#include "io/report.h"
#include "speed/report.h"
#include "tables/cost_study.h"
#include "tables/tables.h"
#include "core/xxh3_dispatch.h"
#include "core/text.h"

using namespace lab;
using namespace lab::quality;
using namespace lab::check;
using namespace lab::speed;
using namespace lab::tables;
using namespace lab::collide;
using namespace lab::choose;
using namespace lab::io;

namespace {

constexpr int exit_hash_failed = 1;  // hashlab check: a hash failed the battery
constexpr int exit_bad_input = 2;
constexpr int exit_out_of_memory = 3;
constexpr int exit_write_failed = 4;
constexpr int exit_hash_ended_run = 5;

struct options {
    std::vector<std::string> keys, hashes, plugins, tables, families, lengths;
    bool json_given = false, csv_given = false, repeat_given = false;
    std::string seed_text = "1", sample_text = "10000";
    uint64_t seed = 1, sample = 10'000;
    int repeat = 5;
    double budget = 0, memory = 0;
    std::string memory_text;
    bool all_tables = false, quick = false;
    std::string json, csv, verdicts;
    std::string count = "2^32";
    std::size_t show = 10;
    bool hostile = false;
};

// --memory: a count of bytes as --count takes it (8Gi, 500M, 2^33), or a plain number (1e9).
double parse_memory(const std::string& text) {
    double bytes = 0;
    try {
        bytes = static_cast<double>(parse_count("--memory", text, "bytes"));
    } catch (const bad_input& e) {
        char* end = nullptr;
        bytes = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(bytes)) throw;
    }
    if (bytes < 1e6 || bytes > 1e15) throw bad_input("--memory " + text + ": expected 1M to 1000T bytes");
    return bytes;
}

// What the lab is doing, for the progress line and the out-of-memory message; also kept as a
// plain line that the crash handler can write without allocating.
std::mutex step_mutex;
std::string step;
char crash_note[512] = "hashlab: the process was ended while starting\n";
const bool progress = isatty(STDERR_FILENO) == 1;

// A message on one line whatever a name in it holds: control characters written as \n, \t, \xNN.
std::string one_line(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) out += c;
        else out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : format("\\x%02X", byte);
    }
    return out;
}

void complain(const std::string& message) { std::fprintf(stderr, "hashlab: %s\n", one_line(message).c_str()); }

void set_step(const std::string& given) {
    const std::lock_guard<std::mutex> lock(step_mutex);
    const std::string now = one_line(given);
    step = now;
    std::snprintf(crash_note, sizeof crash_note, "hashlab: ended while %s\n", now.c_str());
    if (progress) std::fprintf(stderr, "\r\033[Khashlab: %s", now.c_str());
}

// A hash is foreign code: a plugin that crashes, or that calls exit(), would end the run with no
// word of why. These say which step (and so which hash) was running.
volatile sig_atomic_t run_over = 0;

// Starts the message on a line of its own: the progress line may be showing.
ssize_t new_line() { return progress ? write(STDERR_FILENO, "\r\033[K", 4) : 0; }

std::atomic<bool> crash_reported{false};

void on_crash(int signal_number) {
    // Several cores may crash in one plugin at once: one message, then the first one's end.
    if (crash_reported.exchange(true))
        for (;;) pause();
    const char* name = strsignal(signal_number);
    ssize_t ignored = new_line();
    ignored = write(STDERR_FILENO, crash_note, std::strlen(crash_note) - 1);
    ignored = write(STDERR_FILENO, ": ", 2);
    ignored = write(STDERR_FILENO, name, std::strlen(name));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

std::atomic<bool> exit_reported{false};

void on_exit_call() {
    if (run_over) return;
    // A plugin hashing on every core may call exit() on several at once: the first says so and
    // ends the run with its status; the others wait for it rather than end it with theirs.
    if (exit_reported.exchange(true))
        for (;;) pause();
    ssize_t ignored = new_line();
    ignored = write(STDERR_FILENO, crash_note, std::strlen(crash_note) - 1);
    static const char why[] = ": exit() was called (a plugin must return its value, not end the process)\n";
    ignored = write(STDERR_FILENO, why, sizeof why - 1);
    (void)ignored;
    _exit(exit_hash_ended_run);
}

void install_crash_handlers() {
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(s, on_crash);
    // Each exit() runs the handlers it finds still registered: one each for as many threads as
    // may call it at once, so that none of them ends the process with the plugin's status.
    for (int i = 0; i < 64; ++i) std::atexit(on_exit_call);
}

// Standard output is one of the run's outputs: once it fails (a full disk, a closed pipe), the
// run stops rather than measure for no one.
void flush_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw write_failed(std::string("could not write the report to standard output: ") + std::strerror(errno));
}

// A number given on the command line, whole and in range, or bad_input naming the option.
uint64_t parse_number(const std::string& option, const std::string& text, uint64_t least) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least)
        throw bad_input(option + " " + text + ": expected a whole number from " + std::to_string(least) +
                        " to 18446744073709551615");
    return value;
}

// A name given twice would measure the same thing twice: refused, for every repeatable option.
void refuse_repeats(const std::string& option, const std::vector<std::string>& given) {
    for (std::size_t i = 0; i < given.size(); ++i)
        if (std::find(given.begin(), given.begin() + static_cast<long>(i), given[i]) != given.begin() + static_cast<long>(i))
            throw bad_input(option + " " + given[i] + " is given twice");
}

void clear_progress() {
    if (progress) std::fprintf(stderr, "\r\033[K");
}

void list_everything() {
    std::printf("Hashes (--hash):\n%-16s %5s  %-18s %s\n", "name", "bits", "from", "note");
    for (const auto& h : builtin_hashes())
        std::printf("%-16s %5d  %-18s %s\n", h.name.c_str(), h.width, h.source.c_str(), h.note.c_str());
    std::printf("\nKey sets (--keys):\n");
    for (const auto& f : key_families()) std::printf("  %-20s %s\n", f.usage().c_str(), f.note.c_str());
    std::printf("\nMeasures:\n");
    for (const auto& m : quality_measures()) std::printf("  %s\n", m.name.c_str());
    std::printf("\nFamilies of hashlab check (--family):\n");
    for (const auto& f : check_families()) std::printf("  %-20s %s\n", f.name.c_str(), f.about.c_str());
    std::printf("\nTables (hashlab tables, --table):\n");
    for (const auto& t : lab_tables()) std::printf("  %-40s %s\n", t.name.c_str(), t.note.c_str());
}

nlohmann::ordered_json machine() {
    nlohmann::ordered_json m;
    utsname u{};
    if (uname(&u) == 0) m["system"] = std::string(u.sysname) + " " + u.release + " " + u.machine;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) {
            m["cpu"] = line.substr(line.find(':') + 2);
            break;
        }
    m["cores"] = std::thread::hardware_concurrency();
    return m;
}

// The outputs a run will write, checked with everything else that can refuse it, before any work.
output_files check_before_work(const options& opt) {
    output_files outputs;
    if (opt.json_given) outputs.add("--json", opt.json);
    if (opt.csv_given) outputs.add("--csv", opt.csv);
    for (const auto& given : opt.keys)
        if (given.rfind("file:", 0) == 0) outputs.check_not_input(given.substr(5), "--keys " + given);
    for (const auto& plugin : opt.plugins)
        outputs.check_not_input(plugin.substr(0, plugin.find(':')), "--plugin " + plugin);
    refuse_repeats("--hash", opt.hashes);
    refuse_repeats("--keys", opt.keys);
    refuse_repeats("--table", opt.tables);
    refuse_repeats("--family", opt.families);
    return outputs;
}

std::vector<std::string> written_contents(const options& opt, const std::string& json, const std::string& csv) {
    std::vector<std::string> contents;
    if (opt.json_given) contents.push_back(json);
    if (opt.csv_given) contents.push_back(csv);
    return contents;
}

// The hashes a command runs: a plugin alone when only plugins are named, else the named built-ins
// (every one when none is named) and then the plugins.
std::vector<lab_hash> chosen_hashes(const options& opt) {
    if (!opt.hashes.empty() || opt.plugins.empty()) return select_hashes(opt.hashes, opt.plugins);
    std::vector<lab_hash> plugins;
    add_plugins(plugins, opt.plugins);
    return plugins;
}

// What every report says of its run: the hashes, the machine, the compiler.
void describe_run(run_description& run, const std::vector<lab_hash>& hashes) {
    run.settings["hashes"] = nlohmann::ordered_json::array();
    for (const auto& h : hashes) {
        run.settings["hashes"].push_back(h.name);
        run.hashes.push_back(h.name);
    }
    run.machine = machine();
    run.compiler = std::string("g++ ") + __VERSION__;
}

// Every command ends so: its files written whole, or none.
template <class Report>
void write_outputs(output_files& outputs, const options& opt, const Report& report) {
    set_step("writing the results");
    outputs.write_all(written_contents(opt, opt.json_given ? to_json(report) : "", opt.csv_given ? to_csv(report) : ""));
    clear_progress();
}

// How much the cost study may do, from the options.
cost_effort effort_of(const options& opt) {
    cost_effort effort;
    if (opt.quick) effort.seconds_per_combination = 0.25;
    // Two rounds at least: an interval of a ratio needs a second round to see how far it moves.
    if (opt.repeat_given) effort.least = std::max(2, opt.repeat);
    effort.most = std::max(effort.most, effort.least);
    effort.budget_seconds = opt.budget;
    effort.memory_bytes = opt.memory;
    return effort;
}

int run_measure(const options& opt) {
    output_files outputs = check_before_work(opt);
    set_step("loading the hashes");
    std::vector<lab_table> tables;
    if (opt.all_tables) tables = lab_tables();
    for (const auto& name : opt.tables) tables.push_back(table_named(name));
    // With no hash named, the cost study takes the hashes a user would put in a table.
    std::vector<lab_hash> hashes;
    for (auto& h : select_hashes(opt.hashes, opt.plugins))
        if (tables.empty() || !opt.hashes.empty() || h.table_default) hashes.push_back(std::move(h));
    const bool any_for_tables = std::any_of(hashes.begin(), hashes.end(), [](const lab_hash& h) { return h.deterministic(); });
    const bool only_std_map = std::all_of(tables.begin(), tables.end(), [](const lab_table& t) { return !t.hashed; });
    if (!tables.empty() && !any_for_tables && !only_std_map)
        throw bad_input("no table can use the chosen hashes: each gives a key a different value per position");
    std::vector<key_set> sets;
    const cost_effort effort = effort_of(opt);
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
        check_cost_study(tables, sets.back(), effort);
    }

    lab_report report;
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

    // Read before any work, so that a wrong file costs no study.
    if (!opt.verdicts.empty() && tables.empty())
        throw bad_input("--verdicts marks the cost study's advice: give it with tables, --table or --tables");
    const auto fails_battery = opt.verdicts.empty() ? std::map<std::string, battery_failure>{} : battery_failures(opt.verdicts);
    for (const auto& keys : sets) {
        const key_set_summary summary{keys.name, keys.size(), keys.duplicates, keys.with_nul, keys.bytes()};
        report.key_sets.push_back(summary);
        const std::vector<quality_row> rows = study_quality(hashes, keys, opt.repeat, opt.sample, opt.seed, set_step);
        report.quality.insert(report.quality.end(), rows.begin(), rows.end());
        clear_progress();
        print_quality(stdout, report, summary);
        flush_stdout();
        if (tables.empty()) continue;

        set_step("measuring the tables on " + keys.name);
        const core_pin pin;
        std::vector<table_advice> advice;
        std::vector<cost_result> study = run_cost_study(hashes, tables, keys, effort, opt.seed, &advice);
        for (auto& c : study)
            for (const auto& row : rows)
                if (row.at("hash") == c.hash) c.hash_ns_per_key = row.at("ns_per_key").get<double>();
        report.costs.insert(report.costs.end(), study.begin(), study.end());
        for (auto& a : advice)
            for (const auto& [hash, why] : fails_battery)
                if (std::any_of(study.begin(), study.end(), [&](const cost_result& c) { return c.hash == hash; }))
                    a.fails_battery[hash] = why;
        report.advice.insert(report.advice.end(), advice.begin(), advice.end());
        clear_progress();
        print_costs(stdout, report, keys.name, pin.description());
        flush_stdout();
    }
    print_findings(stdout, report);
    flush_stdout();

    write_outputs(outputs, opt, report);
    return 0;
}

// hashlab check: the battery over the chosen hashes; status 1 when any of them fails.
int run_check(const options& opt) {
    output_files outputs = check_before_work(opt);
    if (!opt.keys.empty() || !opt.tables.empty() || opt.all_tables)
        throw bad_input("check makes its own key sets: choose them with --family, not --keys, --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which check does not give");
    std::vector<const check_family*> chosen;
    for (const auto& f : opt.families) {
        const auto& rows = check_families();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const check_family& r) { return r.name == f; });
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
        for (const check_family* f : chosen)
            if (f->seeds && h.seed_bits == 0) throw bad_input("--family " + f->name + ": " + h.name + " takes no seed");
    }
    check_report report;
    report.settings = {{"families", opt.families}, {"seed", opt.seed}, {"quick", opt.quick}};
    describe_run(report, hashes);
    report.results = run_battery(hashes, opt.quick, opt.families, opt.seed, set_step);
    clear_progress();
    print_check(stdout, report);
    flush_stdout();
    write_outputs(outputs, opt, report);
    const auto all = verdicts(report.hashes, report.results);
    return std::any_of(all.begin(), all.end(), [](const check_verdict& v) { return v.verdict == "FAIL"; }) ? exit_hash_failed : 0;
}

// hashlab speed: every hash at every key length, throughput and latency, on one pinned core.
int run_speed(const options& opt) {
    output_files outputs = check_before_work(opt);
    if (!opt.keys.empty() || !opt.tables.empty() || opt.all_tables)
        throw bad_input("speed makes its own keys: choose their lengths with --length, not --keys, --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which speed does not give");
    refuse_repeats("--length", opt.lengths);
    std::vector<length_range> chosen;
    for (const auto& text : opt.lengths) chosen.push_back(parse_length(text));
    set_step("loading the hashes");
    const std::vector<lab_hash> hashes = chosen_hashes(opt);
    speed_plan plan = plan_speed(opt.quick, chosen);
    if (opt.repeat_given) plan.rounds = opt.repeat;
    speed_report report;
    report.settings = {{"lengths", opt.lengths}, {"quick", opt.quick}, {"rounds", plan.rounds},
                       {"round_seconds", plan.round_seconds}};
    describe_run(report, hashes);
    report.vector_path = std::string("libxxhash's dispatcher, ") + xxh3_vector_path();
    const core_pin pin;
    report.pinning = pin.description();
    report.points = run_speed_study(hashes, plan, opt.seed, set_step);
    clear_progress();
    print_speed(stdout, report);
    flush_stdout();
    write_outputs(outputs, opt, report);
    return 0;
}

// hashlab choose: the quality study, the battery on the values and the cost study on one key set,
// joined into one answer per table.
int run_choose(const options& opt) {
    const auto started = std::chrono::steady_clock::now();
    output_files outputs = check_before_work(opt);
    if (opt.keys.size() != 1) throw bad_input("choose answers for one key set: give one --keys (your keys: file:PATH)");
    set_step("loading the hashes");
    std::vector<lab_table> tables;
    if (opt.all_tables) tables = lab_tables();
    for (const auto& name : opt.tables) tables.push_back(table_named(name));
    if (std::none_of(tables.begin(), tables.end(), [](const lab_table& t) { return t.hashed; }))
        throw bad_input("choose answers for hashed tables: std::map takes no hash");
    std::vector<lab_hash> hashes;
    for (auto& h : select_hashes(opt.hashes, opt.plugins))
        if (!opt.hashes.empty() || !opt.plugins.empty() || h.table_default) hashes.push_back(std::move(h));
    for (const auto& h : hashes)
        if (!h.deterministic()) throw bad_input(h.name + " seeds each key by its place in a set: no table can use it");
    cost_effort effort = effort_of(opt);
    // An earlier battery's verdicts, read before any work; or this run's, on what the answer needs.
    std::map<std::string, battery_failure> fails;
    std::string battery = "given, from " + opt.verdicts;
    if (!opt.verdicts.empty()) fails = battery_failures(opt.verdicts);
    set_step("building key set " + opt.keys.front());
    const key_set keys = make_key_set(opt.keys.front(), opt.seed);
    check_cost_study(tables, keys, effort);

    choose_report report;
    report.settings = {{"keys", opt.keys.front()}, {"seed", opt.seed}, {"hostile", opt.hostile}, {"quick", opt.quick},
                       {"verdicts", opt.verdicts.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(opt.verdicts)}};
    describe_run(report, hashes);
    for (const auto& t : tables) report.settings["tables"].push_back(t.name);
    report.keys = keys.name;
    report.key_count = keys.size();
    report.hostile = opt.hostile;
    if (opt.verdicts.empty()) {
        // A table with one seed sees the values of keys: the families at one seed, unless the keys
        // may be chosen against the seed.
        std::vector<std::string> families;
        for (const auto& f : check_families())
            if (opt.hostile || f.tests_values_at_one_seed()) families.push_back(f.name);
        check_report check;
        describe_run(check, hashes);
        check.results = run_battery(hashes, true, opt.hostile ? std::vector<std::string>{} : families, opt.seed, set_step);
        fails = battery_failures_in(to_json(check), "the battery");
        battery = opt.hostile ? "quick, every family" : "quick, the families at one seed";
    }
    report.battery = battery;
    const std::vector<quality_row> rows = study_quality(hashes, keys, opt.repeat, opt.sample, opt.seed, set_step);
    for (const auto& h : hashes) {
        candidate c{h.name, "", ""};
        for (const auto& row : rows)
            if (row.at("hash") == h.name) c.spread_fault = spread_fault(row);
        const auto f = fails.find(h.name);
        if (f != fails.end() && (f->second.on_values || opt.hostile))
            c.battery_fault = std::string("fails the battery") + (f->second.on_values ? " on its values: " : ": ") + f->second.where;
        report.candidates.push_back(c);
    }
    // The whole answer within three minutes (45 s with --quick) unless --budget says otherwise: the
    // cost study takes what the battery and the spread left, and two rounds unless --repeat asks
    // for more (a ratio's interval needs a second round to see how far it moves; a round of the
    // built-ins in two tables on a million keys takes about a minute here, so a third would not fit).
    if (!opt.repeat_given) effort.least = 2;
    if (opt.budget <= 0) {
        const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // A round may run a little longer than the longest before it, on which the study's stop
        // rests: 5 % kept aside.
        effort.budget_seconds = std::max(opt.quick ? 10.0 : 30.0, 0.95 * (opt.quick ? 45.0 : 180.0) - spent);
    }
    set_step("measuring the tables on " + keys.name);
    std::vector<table_advice> advice;
    {
        const core_pin pin;
        run_cost_study(hashes, tables, keys, effort, opt.seed, &advice);
    }
    for (const auto& a : advice) report.answers.push_back(answer_for(a, report.candidates, opt.hostile));
    clear_progress();
    print_choose(stdout, report);
    flush_stdout();
    write_outputs(outputs, opt, report);
    return 0;
}

// hashlab collide: every chosen hash over the first N keys of one index family, pass by pass.
volatile sig_atomic_t interrupted = 0;

int run_collide(const options& opt) {
    output_files outputs = check_before_work(opt);
    if (!opt.tables.empty() || opt.all_tables) throw bad_input("collide counts collisions: it takes no --table or --tables");
    if (!opt.verdicts.empty()) throw bad_input("--verdicts marks the cost study's advice, which collide does not give");
    if (opt.keys.size() > 1) throw bad_input("collide takes one --keys family: counter:LEN, sparse:LEN:K or text-between:C");
    const index_keys keys(opt.keys.empty() ? "counter:16" : opt.keys.front(), opt.seed);
    const uint64_t count = parse_count("--count", opt.count);
    if (count < 2) throw bad_input("--count " + opt.count + ": at least two keys, for a pair to collide");
    if (count > keys.size())
        throw bad_input("--count " + opt.count + ": " + keys.given + " holds only " + with_commas(keys.size()) + " keys");
    if (opt.hashes.empty() && opt.plugins.empty()) throw bad_input("collide needs a hash: --hash or --plugin");
    std::vector<lab_hash> hashes = chosen_hashes(opt);
    for (const auto& h : hashes)
        if (!h.deterministic()) throw bad_input(h.name + " seeds each key by its place in a set: collide the plain hash");
    int rank = 0, ranks = 1;
    collide_ranks(rank, ranks);
    struct finish {
        ~finish() { collide_finish(); }
    } finishes_mpi;
    // The buckets are the run's only large memory: 70 % of what is free leaves the machine room.
    const double memory = opt.memory > 0 ? opt.memory
                                         : 0.7 * static_cast<double>(sysconf(_SC_AVPHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    uint64_t passes = 0;
    for (const auto& h : hashes) passes = std::max(passes, passes_for(count, memory, ranks, h.width));
    collide_report report;
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
        collide_hooks hooks;
        hooks.step = [&](const std::string& doing) { set_step("collide " + h.name + ": " + doing); };
        hooks.counted = [&](const collide_result& r, uint64_t pass) {
            if (rank == 0)
                set_step(format("collide %s: pass %llu of %llu, %s collisions where %.3g are expected, p(more) %s",
                                r.hash.c_str(), (unsigned long long)pass + 1, (unsigned long long)passes,
                                with_commas(r.collisions).c_str(), r.expected, p_value(r.log2_p_more).c_str()));
        };
        hooks.stop = [] { return interrupted != 0; };
        report.results.push_back(lab::collide::collide(h, keys, count, passes, opt.seed, opt.show, hooks));
    }
    sigaction(SIGINT, &before, nullptr);
    const bool stopped = any_rank(interrupted != 0);  // Ctrl-C may have reached another rank only
    if (rank != 0) return 0;
    clear_progress();
    print_collide(stdout, report);
    flush_stdout();
    write_outputs(outputs, opt, report);
    if (stopped) return 128 + SIGINT;  // as the other commands end on Ctrl-C
    const double fail_log2 = fail_threshold_log2(report.results.size());
    return std::any_of(report.results.begin(), report.results.end(), [&](const collide_result& r) {
        return !r.crowded.empty() || (!r.done.empty() && r.log2_p_more < fail_log2);
    }) ? exit_hash_failed : 0;
}

// ---- The commands, one row each -------------------------------------------------------------

// A command: its name, what it does, its own options, what it sets before it runs, and its run.
// The parser, the dispatch and --list come from these rows; the completion reads --list, and the
// CLI tests check that every listed command has its manual page and a place in hashreport.
struct command {
    std::string name, about;
    void (*own_options)(CLI::App& command, options& opt);  // null: only the common ones
    bool takes_keys;                                        // without --keys, decimal keys
    void (*defaults)(options& opt);                         // null: none
    int (*run)(const options& opt);
};

const std::vector<command>& commands() {
    static const std::vector<command> rows = {
        {"measure", "quality and speed of every hash on the key sets (the default)", nullptr, true, nullptr, run_measure},
        {"tables", "the same, then the cost of each hash inside real tables", nullptr, true,
         [](options& o) { o.all_tables = o.all_tables || o.tables.empty(); }, run_measure},
        {"check", "the battery of structured key sets: a p-value for every result and a verdict per hash; status 1 "
                  "when one fails",
         [](CLI::App& c, options& o) {
             c.add_option("--family", o.families, "a family of the battery, repeatable (default: all; see --list)");
         },
         false, nullptr, run_check},
        {"collide", "full-width collisions of a hash over billions of keys, out of core (and across machines under "
                    "mpirun); status 1 when a hash collides more than an ideal one would (p < 0.001)",
         [](CLI::App& c, options& o) {
             c.add_option("--count", o.count, "keys to hash: a number, 2^N, or with K, M, G, T, Ki, Mi, Gi, Ti")
                 ->capture_default_str();
             c.add_option("--show", o.show, "colliding pairs to name with their keys (0: none; costs one more pass "
                                            "over the keys when any collide)")
                 ->check(CLI::Range(0, 100000))
                 ->capture_default_str();
         },
         false, nullptr, run_collide},
        {"choose", "which hash for your keys in your table: how each spreads the keys, its battery verdict on its "
                   "values and its cost in each table timed side by side, then one answer per table",
         [](CLI::App& c, options& o) {
             c.add_flag("--hostile", o.hostile, "keys an attacker may choose against a secret seed: a hash must pass "
                                                "the whole battery, its seeded families too");
         },
         true,
         [](options& o) {
             if (o.tables.empty() && !o.all_tables) o.tables = {"absl::flat_hash_map", "std::unordered_map"};
         },
         run_choose},
        {"speed", "ns per hash by key length, throughput and latency, on one core",
         [](CLI::App& c, options& o) {
             c.add_option("--length", o.lengths, "a key length N or a range A-B of random lengths (B at most 65536), "
                                                 "repeatable (default: 1 to 128, powers of two to 1 MiB, and 1-8 to "
                                                 "1-128)");
         },
         false, nullptr, run_speed},
    };
    return rows;
}

// A command's own options, as its parser knows them.
std::string own_options(const CLI::App& app, const command& c) {
    std::string names;
    for (const CLI::Option* o : app.get_subcommand(c.name)->get_options())
        if (o->get_name() != "--help" && o->get_name().rfind("--", 0) == 0) names += (names.empty() ? "" : " ") + o->get_name();
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    install_output_signal_handlers();
    install_crash_handlers();
    // Every way out of main counts as the end of the run; an exit() from anywhere else does not.
    struct end_of_run {
        ~end_of_run() { run_over = 1; }
    } marks_the_end;
    options opt;
    // CLI11's range takes NaN, which compares false both ways.
    const CLI::Validator finite([](std::string& value) {
        return std::isfinite(std::strtod(value.c_str(), nullptr)) ? std::string() : "not a finite number: " + value;
    }, "FINITE");
    CLI::App app{"hashlab: collisions, table spread, avalanche and speed of string hashes on key sets, and their cost "
                 "inside real tables"};
    app.fallthrough();  // the common options may follow the command
    app.require_subcommand(0, 1);
    for (const command& c : commands()) {
        CLI::App* sub = app.add_subcommand(c.name, c.about);
        if (c.own_options != nullptr) c.own_options(*sub, opt);
    }
    bool list = false;
    app.set_version_flag("--version", std::string("hashlab ") + HASHBENCH_VERSION);
    app.add_flag("--list", list, "list the hashes, key sets, measures and tables, then exit");
    app.add_option("--keys", opt.keys, "key set, repeatable: " + key_family_usages() +
                                           " (default: decimal; decimal:1000000 for the tables, decimal:100000 quick)");
    app.add_option("--hash", opt.hashes, "hash to measure, repeatable (default: every built-in)");
    app.add_option("--plugin", opt.plugins, "PATH:SYMBOL:WIDTH, a hash from a shared library, repeatable");
    app.add_option("--seed", opt.seed_text, "seed of the random key sets and samples (0 to 2^64-1)")->capture_default_str();
    app.add_option("--sample", opt.sample_text, "keys sampled for the avalanche measure (at least 1)")->capture_default_str();
    app.add_option("--repeat", opt.repeat, "timed repetitions per hash (median; for speed, rounds, the fastest kept; "
                                           "for tables, the fewest rounds, default 3; 1 is raised to 2)")
        ->check(CLI::Range(1, 1000))->capture_default_str();
    app.add_option("--budget", opt.budget, "seconds the cost study may take per key set before it stops adding rounds "
                                           "(default: 2 per table and hash, 0.25 with --quick)")
        ->check(CLI::Range(1.0, 1e6) & finite);
    app.add_option("--memory", opt.memory_text, "bytes (as 8Gi, 500M, 2^33 or 1e9) the tables of one kind alive "
                                                "together may take, more hashes than fit timed in groups, each beside "
                                                "the first hash (default: half the free memory); for collide, its "
                                                "buckets (default: 70 % of the available memory)");
    app.add_flag("--tables", opt.all_tables, "the same as the tables command");
    app.add_option("--table", opt.tables, "a table for the cost study, repeatable (see --list)");
    app.add_option("--verdicts", opt.verdicts, "the JSON of an earlier hashlab check: the cost study's advice marks "
                                               "the hashes it failed and names the fastest it passed");
    app.add_flag("--quick", opt.quick, "fewer keys, repetitions and samples: a smoke run");
    app.add_option("--json", opt.json, "write the results as JSON to this file");
    app.add_option("--csv", opt.csv, "write the results as CSV to this file");
    // Help, version and list go to standard output, which may be full or closed.
    const auto written = [](int status) {
        std::cout.flush();
        if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout) {
            std::fprintf(stderr, "hashlab: could not write to standard output: %s\n", std::strerror(errno));
            return exit_write_failed;
        }
        return status;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return written(app.exit(e));  // --help, --version
    } catch (const CLI::ParseError& e) {
        complain(e.what());
        return exit_bad_input;
    }
    if (list) {
        list_everything();
        std::printf("\nCommands (hashlab COMMAND):\n");
        for (const command& c : commands()) {
            const std::string own = own_options(app, c);
            std::printf("  %-8s %s%s\n", c.name.c_str(), c.about.c_str(), own.empty() ? "" : (" (own options: " + own + ")").c_str());
        }
        return written(0);
    }
    // No command: the first, measure.
    const auto parsed = std::find_if(commands().begin(), commands().end(),
                                     [&](const command& c) { return app.get_subcommand(c.name)->parsed(); });
    const command& chosen = parsed != commands().end() ? *parsed : commands().front();
    if (chosen.defaults != nullptr) chosen.defaults(opt);
    const bool study = opt.all_tables || !opt.tables.empty();
    if (opt.keys.empty() && chosen.takes_keys) opt.keys = {opt.quick ? "decimal:100000" : study ? "decimal:1000000" : "decimal"};
    opt.json_given = app.count("--json") != 0;
    opt.csv_given = app.count("--csv") != 0;
    opt.repeat_given = app.count("--repeat") != 0;
    try {
        opt.seed = parse_number("--seed", opt.seed_text, 0);
        opt.sample = parse_number("--sample", opt.sample_text, 1);
        if (app.count("--memory") != 0) opt.memory = parse_memory(opt.memory_text);
        if (opt.quick) {
            if (app.count("--repeat") == 0) opt.repeat = 2;
            if (app.count("--sample") == 0) opt.sample = 2'000;
        }
        if (sodium_init() < 0) throw std::runtime_error("libsodium failed to initialise");
        return chosen.run(opt);
    } catch (const bad_input& e) {
        clear_progress();
        complain(e.what());
        return exit_bad_input;
    } catch (const std::bad_alloc&) {
        clear_progress();
        complain("out of memory while " + step);
        return exit_out_of_memory;
    } catch (const write_failed& e) {
        clear_progress();
        complain(e.what());
        return exit_write_failed;
    }
}
