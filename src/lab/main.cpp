// hashlab: how well does each hash spread a set of keys, and what does it cost? The command line,
// and the order of the steps; the studies and the report live beside it.
#include <sodium.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "keys.h"
#include "lab_hashes.h"
#include "quality.h"
#include "report.h"
#include "tables.h"

namespace {

constexpr int exit_bad_input = 2;
constexpr int exit_out_of_memory = 3;
constexpr int exit_write_failed = 4;

struct options {
    std::vector<std::string> keys, hashes, plugins, tables;
    uint64_t seed = 1, sample = 10'000;
    int repeat = 5;
    bool all_tables = false, quick = false;
    std::string json, csv;
};

// What the lab is doing, for the progress line and the out-of-memory message.
std::mutex step_mutex;
std::string step;
const bool progress = isatty(STDERR_FILENO) == 1;

void set_step(const std::string& now) {
    const std::lock_guard<std::mutex> lock(step_mutex);
    step = now;
    if (progress) std::fprintf(stderr, "\r\033[Khashlab: %s", now.c_str());
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

int run(const options& opt) {
    set_step("loading the hashes");
    const std::vector<lab_hash> hashes = select_hashes(opt.hashes, opt.plugins);
    std::vector<lab_table> tables;
    if (opt.all_tables) tables = lab_tables();
    for (const auto& name : opt.tables) tables.push_back(table_named(name));
    std::optional<staged_file> json_file, csv_file;
    if (!opt.json.empty()) json_file.emplace(opt.json);
    if (!opt.csv.empty()) csv_file.emplace(opt.csv);
    std::vector<key_set> sets;
    for (const auto& given : opt.keys) {
        set_step("building key set " + given);
        sets.push_back(make_key_set(given, opt.seed));
    }

    lab_report report;
    report.settings = {{"keys", opt.keys}, {"hashes", nlohmann::ordered_json::array()}, {"seed", opt.seed},
                       {"avalanche_sample", opt.sample}, {"repeat", opt.repeat}};
    for (const auto& h : hashes) report.settings["hashes"].push_back(h.name);
    for (const auto& t : tables) report.settings["tables"].push_back(t.name);
    report.machine = machine();
    report.compiler = std::string("g++ ") + __VERSION__;
    report.cost_study = !tables.empty();
    for (const auto& h : hashes)
        if (!h.deterministic()) report.left_out.push_back(h.name);

    for (const auto& keys : sets) {
        const key_set_summary summary{keys.name, keys.size(), keys.duplicates, keys.with_nul, keys.bytes()};
        report.key_sets.push_back(summary);
        const std::vector<quality_row> rows = study_quality(hashes, keys, opt.repeat, opt.sample, opt.seed, set_step);
        report.quality.insert(report.quality.end(), rows.begin(), rows.end());
        clear_progress();
        print_quality(stdout, report, summary);
        std::fflush(stdout);
        if (tables.empty()) continue;

        set_step("measuring the tables on " + keys.name);
        const core_pin pin;
        std::vector<cost_result> study = run_cost_study(hashes, tables, keys, opt.repeat, opt.seed);
        for (auto& c : study)
            for (const auto& row : rows)
                if (row.at("hash") == c.hash) c.hash_ns_per_key = row.at("ns_per_key").get<double>();
        report.costs.insert(report.costs.end(), study.begin(), study.end());
        clear_progress();
        print_costs(stdout, report, keys.name, pin.description());
        std::fflush(stdout);
    }
    print_findings(stdout, report);

    set_step("writing the results");
    bool written = true;
    if (json_file) written = json_file->write(to_json(report));
    if (csv_file) written = csv_file->write(to_csv(report)) && written;
    std::fflush(stdout);
    written = written && !std::ferror(stdout);
    clear_progress();
    if (!written) {
        std::fprintf(stderr, "hashlab: could not write the results\n");
        return exit_write_failed;
    }
    // Only now that every output is complete does any of them take its name.
    if ((json_file && !json_file->commit()) || (csv_file && !csv_file->commit())) {
        std::fprintf(stderr, "hashlab: could not rename the results into place\n");
        return exit_write_failed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    CLI::App app{"hashlab: collisions, table spread, avalanche and speed of string hashes on key sets, and their cost "
                 "inside real tables"};
    app.fallthrough();  // the common options may follow the command
    app.require_subcommand(0, 1);
    CLI::App* measure = app.add_subcommand("measure", "quality and speed of every hash on the key sets (the default)");
    CLI::App* tables = app.add_subcommand("tables", "the same, then the cost of each hash inside real tables");
    bool list = false;
    app.set_version_flag("--version", std::string("hashlab ") + HASHBENCH_VERSION);
    app.add_flag("--list", list, "list the hashes, key sets, measures and tables, then exit");
    app.add_option("--keys", opt.keys, "key set, repeatable: " + key_family_usages() +
                                           " (default: decimal; decimal:1000000 for the tables, decimal:100000 quick)");
    app.add_option("--hash", opt.hashes, "hash to measure, repeatable (default: every built-in)");
    app.add_option("--plugin", opt.plugins, "PATH:SYMBOL:WIDTH, a hash from a shared library, repeatable");
    app.add_option("--seed", opt.seed, "seed of the random key sets and samples")->capture_default_str();
    app.add_option("--sample", opt.sample, "keys sampled for the avalanche measure")
        ->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--repeat", opt.repeat, "timed repetitions per hash (median)")
        ->check(CLI::Range(1, 1000))->capture_default_str();
    app.add_flag("--tables", opt.all_tables, "the same as the tables command");
    app.add_option("--table", opt.tables, "a table for the cost study, repeatable (see --list)");
    app.add_flag("--quick", opt.quick, "fewer keys, repetitions and samples: a smoke run");
    app.add_option("--json", opt.json, "write the results as JSON to this file");
    app.add_option("--csv", opt.csv, "write the results as CSV to this file");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "hashlab: %s\n", e.what());
        return exit_bad_input;
    }
    (void)measure;
    if (list) {
        list_everything();
        return 0;
    }
    if (tables->parsed() && opt.tables.empty()) opt.all_tables = true;
    const bool study = opt.all_tables || !opt.tables.empty();
    if (opt.keys.empty()) opt.keys = {opt.quick ? "decimal:100000" : study ? "decimal:1000000" : "decimal"};
    if (opt.quick) {
        if (app.count("--repeat") == 0) opt.repeat = 2;
        if (app.count("--sample") == 0) opt.sample = 2'000;
    }
    try {
        if (sodium_init() < 0) throw std::runtime_error("libsodium failed to initialise");
        return run(opt);
    } catch (const bad_input& e) {
        clear_progress();
        std::fprintf(stderr, "hashlab: %s\n", e.what());
        return exit_bad_input;
    } catch (const std::bad_alloc&) {
        clear_progress();
        std::fprintf(stderr, "hashlab: out of memory while %s\n", step.c_str());
        return exit_out_of_memory;
    }
}
