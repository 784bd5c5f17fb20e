#include "cli.h"

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/text.h"

namespace lab::cli {

// What the lab is doing, for the progress line and the out-of-memory message; also kept as a
// plain line that the crash handler can write without allocating.
namespace {

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

}  // namespace

void complain(const std::string& message) { std::fprintf(stderr, "hashlab: %s\n", one_line(message).c_str()); }

void set_step(const std::string& given) {
    const std::lock_guard<std::mutex> lock(step_mutex);
    const std::string now = one_line(given);
    step = now;
    std::snprintf(crash_note, sizeof crash_note, "hashlab: ended while %s\n", now.c_str());
    if (progress) std::fprintf(stderr, "\r\033[Khashlab: %s", now.c_str());
}

std::string current_step() {
    const std::lock_guard<std::mutex> lock(step_mutex);
    return step;
}

// A hash is foreign code: a plugin that crashes, or that calls exit(), would end the run with no
// word of why. These say which step (and so which hash) was running.
namespace {

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

}  // namespace

void end_of_run() { run_over = 1; }

void install_crash_handlers() {
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(s, on_crash);
    // Each exit() runs the handlers it finds still registered: one each for as many threads as
    // may call it at once, so that none of them ends the process with the plugin's status.
    for (int i = 0; i < 64; ++i) std::atexit(on_exit_call);
}

void flush_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw io::write_failed(std::string("could not write the report to standard output: ") + std::strerror(errno));
}

uint64_t parse_number(const std::string& option, const std::string& text, uint64_t least) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least)
        throw bad_input(option + " " + text + ": expected a whole number from " + std::to_string(least) +
                        " to 18446744073709551615");
    return value;
}

void refuse_repeats(const std::string& option, const std::vector<std::string>& given) {
    for (std::size_t i = 0; i < given.size(); ++i)
        if (std::find(given.begin(), given.begin() + static_cast<long>(i), given[i]) != given.begin() + static_cast<long>(i))
            throw bad_input(option + " " + given[i] + " is given twice");
}

void clear_progress() {
    if (progress) std::fprintf(stderr, "\r\033[K");
}

namespace {

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

}  // namespace

io::output_files check_before_work(const options& opt) {
    io::output_files outputs;
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

std::vector<lab_hash> chosen_hashes(const options& opt) {
    if (!opt.hashes.empty() || opt.plugins.empty()) return select_hashes(opt.hashes, opt.plugins);
    std::vector<lab_hash> plugins;
    add_plugins(plugins, opt.plugins);
    return plugins;
}

void describe_run(io::run_description& run, const std::vector<lab_hash>& hashes) {
    run.settings["hashes"] = nlohmann::ordered_json::array();
    for (const auto& h : hashes) {
        run.settings["hashes"].push_back(h.name);
        run.hashes.push_back(h.name);
    }
    run.machine = machine();
    run.compiler = std::string("g++ ") + __VERSION__;
}

}  // namespace lab::cli
