// What every hashlab command shares: its options, its progress line and messages, its outputs,
// and the registry of commands that main parses and dispatches.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "core/lab_hashes.h"
#include "io/document.h"
#include "io/outputs.h"

namespace lab::cli {

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

// What the lab is doing: the progress line on a terminal, the out-of-memory message, and the line
// the crash handlers write without allocating.
void set_step(const std::string& given);
std::string current_step();
void clear_progress();
// A message on standard error on one line, whatever a name in it holds.
void complain(const std::string& message);
// Standard output is one of the run's outputs: once it fails (a full disk, a closed pipe), the
// run stops rather than measure for no one.
void flush_stdout();
// A plugin that crashes or calls exit() is named by the step it ended; every way out of main
// marks the end of the run, after which an exit() is no plugin's.
void install_crash_handlers();
void end_of_run();

// A number given on the command line, whole and in range, or bad_input naming the option.
uint64_t parse_number(const std::string& option, const std::string& text, uint64_t least);
// A name given twice would measure the same thing twice: refused, for every repeatable option.
void refuse_repeats(const std::string& option, const std::vector<std::string>& given);

// The outputs a run will write, checked with everything else that can refuse it, before any work.
io::output_files check_before_work(const options& opt);
std::vector<std::string> written_contents(const options& opt, const std::string& json, const std::string& csv);
// The hashes a command runs: a plugin alone when only plugins are named, else the named built-ins
// (every one when none is named) and then the plugins.
std::vector<lab_hash> chosen_hashes(const options& opt);
// What every report says of its run: the hashes, the machine, the compiler.
void describe_run(io::run_description& run, const std::vector<lab_hash>& hashes);

// Every command ends so: its files written whole, or none.
template <class Report>
void write_outputs(io::output_files& outputs, const options& opt, const Report& report) {
    set_step("writing the results");
    outputs.write_all(written_contents(opt, opt.json_given ? to_json(report) : "", opt.csv_given ? to_csv(report) : ""));
    clear_progress();
}

// How most commands end: their report on the console, then their files.
template <class Report>
void print_and_write(io::output_files& outputs, const options& opt, const Report& report,
                     void (*print)(std::FILE* out, const Report& report)) {
    clear_progress();
    print(stdout, report);
    flush_stdout();
    write_outputs(outputs, opt, report);
}

// A command: its name, what it does, its own options, what it sets before it runs, and its run.
// The parser, the dispatch and --list come from these rows; the completion reads --list, and the
// CLI tests check that every listed command has its manual page and a place in hashreport.
struct command {
    std::string name, about;
    void (*own_options)(CLI::App& command, options& opt) = nullptr;  // null: only the common ones
    bool takes_keys = false;                                          // without --keys, decimal keys
    void (*defaults)(options& opt) = nullptr;                         // null: none
    int (*run)(const options& opt) = nullptr;
};
const std::vector<command>& commands();

}  // namespace lab::cli
