// hashlab: how well does each hash spread a set of keys, and what does it cost?
//
// For each key set, every hash is first timed alone (nothing else of the lab runs meanwhile), then
// the quality measures run on every core, one hash per thread.
#include <sodium.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "keys.h"
#include "lab_hashes.h"
#include "measures.h"
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

// The indexes into lab_tables() of the tables the options name.
std::vector<std::size_t> chosen_tables(const options& opt) {
    std::vector<std::size_t> chosen;
    const auto& tables = lab_tables();
    for (std::size_t t = 0; t < tables.size(); ++t)
        if (opt.all_tables) chosen.push_back(t);
    for (const auto& name : opt.tables) {
        const auto found = std::find_if(tables.begin(), tables.end(), [&](const lab_table& t) { return t.name == name; });
        if (found == tables.end()) {
            std::string known;
            for (const auto& t : tables) known += (known.empty() ? "" : ", ") + t.name;
            throw bad_input("unknown table '" + name + "'; known: " + known);
        }
        chosen.push_back(static_cast<std::size_t>(found - tables.begin()));
    }
    return chosen;
}

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

result measure(const lab_hash& h, const key_set& keys, const options& opt) {
    result r;
    r.hash = h.name;
    r.keys = keys.name;
    r.key_count = keys.size();
    r.width = h.width;
    r.stops_at_nul = h.stops_at_nul;
    std::vector<uint64_t> values(keys.size());
    h.hash_all(h, keys, values.data());
    r.power_of_two = spread(values, power_of_two_near(keys.size()));
    r.prime = spread(values, prime_at_least(keys.size()));
    r.window = worst_window(values, h.width);
    r.avalanche = avalanche(h, keys, values, opt.sample, opt.seed);
    r.full = count_collisions(values, h.width);  // sorts `values`: the order-dependent measures come first
    if (h.width == 64) r.low32 = count_collisions(values, 32);
    return r;
}

std::vector<result> measure_key_set(const std::vector<lab_hash>& hashes, const key_set& keys, const options& opt) {
    std::vector<result> results(hashes.size());
    {
        std::vector<uint64_t> out;
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            set_step("timing " + hashes[i].name + " on " + keys.name);
            results[i].ns_per_key = ns_per_key(hashes[i], keys, out, opt.repeat);
        }
    }
    const uint64_t merged = merged_at_nul(keys);
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto work = [&] {
        for (std::size_t i; (i = next++) < hashes.size();) {
            const std::string doing = "measuring " + hashes[i].name + " on " + keys.name;
            try {
                set_step(doing);
                const double ns = results[i].ns_per_key;
                results[i] = measure(hashes[i], keys, opt);
                results[i].ns_per_key = ns;
                results[i].nul_merged = hashes[i].stops_at_nul ? merged : 0;
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) {
                    failure = std::current_exception();
                    const std::lock_guard<std::mutex> step_lock(step_mutex);
                    step = doing;  // the other thread may have named its own step since
                }
                next = hashes.size();
                return;
            }
        }
    };
    const std::size_t threads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), hashes.size()));
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& thread : pool) thread.join();
    if (failure) std::rethrow_exception(failure);
    return results;
}

void list_hashes() {
    std::printf("%-16s %5s  %-18s %s\n", "name", "bits", "from", "note");
    for (const auto& h : builtin_hashes())
        std::printf("%-16s %5d  %-18s %s\n", h.name.c_str(), h.width, h.source.c_str(), h.note.c_str());
    std::printf("\nKey sets (--keys): %s\n\nTables (--table):\n", key_set_forms);
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
    const std::vector<std::size_t> tables = chosen_tables(opt);
    std::optional<staged_file> json_file, csv_file;
    if (!opt.json.empty()) json_file.emplace(opt.json);
    if (!opt.csv.empty()) csv_file.emplace(opt.csv);
    std::vector<key_set> sets;
    for (const auto& given : opt.keys) {
        set_step("building key set " + given);
        sets.push_back(make_key_set(given, opt.seed));
    }
    std::vector<std::string> left_out;
    for (const auto& h : hashes)
        if (!h.deterministic()) left_out.push_back(h.name);

    std::vector<result> results;
    std::vector<cost_result> costs;
    for (const auto& keys : sets) {
        const std::vector<result> block = measure_key_set(hashes, keys, opt);
        clear_progress();
        print_key_set_heading(stdout, keys, block.front());
        print_table(stdout, block);
        std::fflush(stdout);
        results.insert(results.end(), block.begin(), block.end());
        if (tables.empty()) continue;

        set_step("measuring the tables on " + keys.name);
        const core_pin pin;
        std::vector<cost_result> study = run_cost_study(hashes, tables, keys, opt.repeat, opt.seed);
        for (auto& c : study)
            for (const auto& r : block)
                if (r.hash == c.hash) c.hash_ns_per_key = r.ns_per_key;
        clear_progress();
        print_costs(stdout, study, pin.description(), left_out);
        std::fflush(stdout);
        costs.insert(costs.end(), study.begin(), study.end());
    }
    std::printf("\nFindings\n");
    std::vector<std::string> found = findings(results);
    for (const auto& line : cost_findings(costs)) found.push_back(line);
    for (const auto& line : found) std::printf("- %s\n", line.c_str());
    if (found.empty()) std::printf("no findings\n");

    set_step("writing the results");
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& r : results) rows.push_back(to_json(r));
    std::vector<nlohmann::ordered_json> cost_rows;
    for (const auto& c : costs) {
        cost_rows.push_back(to_json(c));
        // In CSV a cost row carries its hash's quality on the same keys, for the chart and for sorting.
        for (const auto& row : rows)
            if (row["hash"] == c.hash && row["keys"] == c.keys)
                for (const auto& field : row.items())
                    if (!cost_rows.back().contains(field.key())) cost_rows.back()[field.key()] = field.value();
    }
    bool written = true;
    if (json_file) {
        nlohmann::ordered_json doc;
        doc["settings"] = {{"keys", opt.keys}, {"hashes", nlohmann::ordered_json::array()}, {"seed", opt.seed},
                           {"avalanche_sample", opt.sample}, {"repeat", opt.repeat}};
        for (const auto& h : hashes) doc["settings"]["hashes"].push_back(h.name);
        for (std::size_t t : tables) doc["settings"]["tables"].push_back(lab_tables()[t].name);
        doc["machine"] = machine();
        doc["compiler"] = std::string("g++ ") + __VERSION__;
        for (const auto& keys : sets)
            doc["key_sets"].push_back({{"name", keys.name}, {"key_count", keys.size()},
                                       {"duplicates", keys.duplicates}, {"with_nul", keys.with_nul},
                                       {"bytes", keys.bytes()}});
        doc["results"] = rows;
        if (!tables.empty()) {
            doc["table_memory"] = "bytes the table holds through its allocator (a counting allocator)";
            doc["table_results"] = nlohmann::ordered_json::array();
            for (const auto& c : costs) doc["table_results"].push_back(to_json(c));
        }
        doc["findings"] = found;
        written = json_file->write(doc.dump(2) + "\n");
    }
    if (csv_file) written = csv_file->write(to_csv(tables.empty() ? rows : cost_rows)) && written;
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
    CLI::App app{"hashlab: collisions, table spread, avalanche and speed of string hashes on key sets"};
    bool list = false;
    app.set_version_flag("--version", std::string("hashlab ") + HASHBENCH_VERSION);
    app.add_flag("--list", list, "list the hashes and key sets, then exit");
    app.add_option("--keys", opt.keys, std::string("key set, repeatable: ") + key_set_forms +
                                           " (default: decimal; decimal:1000000 for the cost study, decimal:100000 quick)");
    app.add_option("--hash", opt.hashes, "hash to measure, repeatable (default: every built-in)");
    app.add_option("--plugin", opt.plugins, "PATH:SYMBOL:WIDTH, a hash from a shared library, repeatable");
    app.add_option("--seed", opt.seed, "seed of the random key sets and samples")->capture_default_str();
    app.add_option("--sample", opt.sample, "keys sampled for the avalanche measure")
        ->check(CLI::PositiveNumber)->capture_default_str();
    app.add_option("--repeat", opt.repeat, "timed repetitions per hash (median)")
        ->check(CLI::Range(1, 1000))->capture_default_str();
    app.add_flag("--tables", opt.all_tables, "also measure the cost of every hash inside every table");
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
    if (list) {
        list_hashes();
        return 0;
    }
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
