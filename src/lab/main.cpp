// hashlab: the command line. The commands' rows (commands.cpp) make the parser, the dispatch and
// --list; this file reads the options every command shares and ends every way out of a run.
#include <sodium.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "check/check.h"
#include "cli.h"
#include "core/keys.h"
#include "core/lab_hashes.h"
#include "core/text.h"
#include "io/outputs.h"
#include "quality/quality.h"
#include "tables/tables.h"

using namespace lab;
using namespace lab::cli;
using lab::io::install_output_signal_handlers;
using lab::io::write_failed;

namespace {

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

void list_everything() {
    std::printf("Hashes (--hash):\n%-16s %5s  %-18s %s\n", "name", "bits", "from", "note");
    for (const auto& h : builtin_hashes())
        std::printf("%-16s %5d  %-18s %s\n", h.name.c_str(), h.width, h.source.c_str(), h.note.c_str());
    std::printf("\nKey sets (--keys; *: each key computed from its index, as collide takes them):\n");
    for (const auto& f : key_families())
        std::printf("  %-20s %s%s\n", f.usage().c_str(), f.by_index != nullptr ? "* " : "", f.note.c_str());
    std::printf("\nMeasures:\n");
    for (const auto& m : quality::quality_measures()) std::printf("  %s\n", m.name.c_str());
    std::printf("\nFamilies of hashlab check (--family):\n");
    for (const auto& f : check::check_families()) std::printf("  %-20s %s\n", f.name.c_str(), f.about.c_str());
    std::printf("\nTables (hashlab tables, --table):\n");
    for (const auto& t : tables::lab_tables()) std::printf("  %-40s %s\n", t.name.c_str(), t.note.c_str());
}

// A command's own options, as its parser knows them.
std::string own_options(const CLI::App& app, const command& c) {
    std::string names;
    for (const CLI::Option* o : app.get_subcommand(c.name)->get_options())
        if (o->get_name() != "--help" && o->get_name().rfind("--", 0) == 0) names += (names.empty() ? "" : " ") + o->get_name();
    return names;
}

// The commands with their own options, then the options every command shares.
void add_options(CLI::App& app, options& opt, bool& list) {
    // CLI11's range takes NaN, which compares false both ways.
    const CLI::Validator finite([](std::string& value) {
        return std::isfinite(std::strtod(value.c_str(), nullptr)) ? std::string() : "not a finite number: " + value;
    }, "FINITE");
    app.fallthrough();  // the common options may follow the command
    app.require_subcommand(0, 1);
    for (const command& c : commands()) {
        CLI::App* sub = app.add_subcommand(c.name, c.about);
        if (c.own_options != nullptr) c.own_options(*sub, opt);
    }
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
}

// The command given (none: the first, measure), and what the options mean once parsed: the
// command's defaults, the default keys, the numbers read, --quick's smaller effort.
const command& settled(const CLI::App& app, options& opt) {
    const auto parsed = std::find_if(commands().begin(), commands().end(),
                                     [&](const command& c) { return app.get_subcommand(c.name)->parsed(); });
    const command& chosen = parsed != commands().end() ? *parsed : commands().front();
    if (chosen.defaults != nullptr) chosen.defaults(opt);
    const bool study = opt.all_tables || !opt.tables.empty();
    if (opt.keys.empty() && chosen.takes_keys) opt.keys = {opt.quick ? "decimal:100000" : study ? "decimal:1000000" : "decimal"};
    opt.json_given = app.count("--json") != 0;
    opt.csv_given = app.count("--csv") != 0;
    opt.repeat_given = app.count("--repeat") != 0;
    opt.seed = parse_number("--seed", opt.seed_text, 0);
    opt.sample = parse_number("--sample", opt.sample_text, 1);
    if (app.count("--memory") != 0) opt.memory = parse_memory(opt.memory_text);
    if (opt.quick) {
        if (app.count("--repeat") == 0) opt.repeat = 2;
        if (app.count("--sample") == 0) opt.sample = 2'000;
    }
    return chosen;
}

// --list: every registry, then the commands with their own options.
void list_all(const CLI::App& app) {
    list_everything();
    std::printf("\nCommands (hashlab COMMAND):\n");
    for (const command& c : commands()) {
        const std::string own = own_options(app, c);
        std::printf("  %-8s %s%s\n", c.name.c_str(), c.about.c_str(), own.empty() ? "" : (" (own options: " + own + ")").c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    install_output_signal_handlers();
    install_crash_handlers();
    // Every way out of main counts as the end of the run; an exit() from anywhere else does not.
    struct end_of_run_mark {
        ~end_of_run_mark() { end_of_run(); }
    } marks_the_end;
    options opt;
    CLI::App app{"hashlab: collisions, table spread, avalanche and speed of string hashes on key sets, and their cost "
                 "inside real tables"};
    bool list = false;
    add_options(app, opt, list);
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
        list_all(app);
        return written(0);
    }
    try {
        const command& chosen = settled(app, opt);
        if (sodium_init() < 0) throw std::runtime_error("libsodium failed to initialise");
        return chosen.run(opt);
    } catch (const bad_input& e) {
        clear_progress();
        complain(e.what());
        return exit_bad_input;
    } catch (const std::bad_alloc&) {
        clear_progress();
        complain("out of memory while " + current_step());
        return exit_out_of_memory;
    } catch (const write_failed& e) {
        clear_progress();
        complain(e.what());
        return exit_write_failed;
    }
}

