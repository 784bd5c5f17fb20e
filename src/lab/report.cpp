#include "report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sstream>

namespace {

// How far from the ideal a result must lie before it is a finding. The collision and spread
// counts are single tests; the window bias is the worst of up to a thousand windows, hence the
// higher bar. The avalanche bias has its own noise level, computed for its number of cells.
constexpr double collision_sigmas = 5;
constexpr double empty_sigmas = 5;
constexpr double longest_factor = 2;
constexpr double window_sigmas = 6;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::string spread_finding(const result& r, const char* kind, const table_spread& s) {
    if (s.empty_sigmas <= empty_sigmas && s.longest <= longest_factor * s.ideal_longest) return "";
    return format("%s on %s: a %s table of %llu buckets leaves %.1f %% empty (ideal %.1f %%, %+.0f sigma), "
                  "longest chain %llu (ideal %.1f)",
                  r.hash.c_str(), r.keys.c_str(), kind, (unsigned long long)s.buckets, 100 * s.empty,
                  100 * s.ideal_empty, s.empty_sigmas, (unsigned long long)s.longest, s.ideal_longest);
}

std::string collision_finding(const result& r, const collisions& c, int bits, const char* which) {
    if (c.sigmas <= collision_sigmas) return "";
    return format("%s on %s: %llu collisions in %s %d bits, %.3g times the ideal %.4g (%+.0f sigma)",
                  r.hash.c_str(), r.keys.c_str(), (unsigned long long)c.count, which, bits, c.ratio, c.ideal,
                  c.sigmas);
}

}  // namespace

void print_key_set_heading(std::FILE* out, const key_set& keys, const result& any) {
    std::fprintf(out, "\n== %s: %zu keys", keys.name.c_str(), keys.size());
    if (keys.duplicates != 0) std::fprintf(out, " (%llu duplicates dropped)", (unsigned long long)keys.duplicates);
    std::fprintf(out, "\n   ideal hash: %.6g collisions at 32 bits, %.3g at 64\n", ideal_collisions(any.key_count, 0x1p32),
                 ideal_collisions(any.key_count, 0x1p64));
    std::fprintf(out, "   ideal spread: %llu buckets (2^k) %.1f %% empty, longest %.1f; %llu (prime) %.1f %% empty, longest %.1f\n",
                 (unsigned long long)any.power_of_two.buckets, 100 * any.power_of_two.ideal_empty,
                 any.power_of_two.ideal_longest, (unsigned long long)any.prime.buckets, 100 * any.prime.ideal_empty,
                 any.prime.ideal_longest);
    if (keys.with_nul != 0)
        std::fprintf(out, "   %llu keys hold a NUL byte: the text hashes read each key only up to its first NUL\n",
                     (unsigned long long)keys.with_nul);
}

void print_table(std::FILE* out, const std::vector<result>& results) {
    std::fprintf(out, "%-15s %7s %4s %10s %7s %7s %10s %7s %4s %7s %4s %7s %6s %6s\n", "hash", "ns/key", "bits",
                 "collisions", "ratio", "sigma", "low32 coll", "2^k emp", "max", "prm emp", "max", "window", "aval%",
                 "noise");
    for (const auto& r : results) {
        const std::string low32 = r.width == 64 ? std::to_string(r.low32.count) : "-";
        std::fprintf(out, "%-15s %7.2f %4d %10llu %7.3g %7.1f %10s %6.1f%% %4llu %6.1f%% %4llu %7.1f %6.1f %6.1f\n",
                     r.hash.c_str(), r.ns_per_key, r.width, (unsigned long long)r.full.count, r.full.ratio,
                     r.full.sigmas, low32.c_str(), 100 * r.power_of_two.empty,
                     (unsigned long long)r.power_of_two.longest, 100 * r.prime.empty, (unsigned long long)r.prime.longest,
                     r.window.sigmas, r.avalanche.worst, r.avalanche.noise);
    }
}

std::vector<std::string> findings(const std::vector<result>& results) {
    std::vector<std::string> lines;
    for (const auto& r : results) {
        lines.push_back(collision_finding(r, r.full, r.width, "all"));
        if (r.width == 64) lines.push_back(collision_finding(r, r.low32, 32, "the low"));
        lines.push_back(spread_finding(r, "power-of-two", r.power_of_two));
        lines.push_back(spread_finding(r, "prime-sized", r.prime));
        if (r.window.sigmas > window_sigmas)
            lines.push_back(format("%s on %s: output bits %d..%d (wrapping) are unevenly spread, %.0f sigma",
                                   r.hash.c_str(), r.keys.c_str(), r.window.first_bit,
                                   (r.window.first_bit + r.window.bits - 1) % r.width, r.window.sigmas));
        if (r.avalanche.worst > r.avalanche.noise)
            lines.push_back(format("%s on %s: flipping input bit %d flips output bit %d with a bias of %.1f %% "
                                   "(noise level %.1f %%)",
                                   r.hash.c_str(), r.keys.c_str(), r.avalanche.input_bit, r.avalanche.output_bit,
                                   r.avalanche.worst, r.avalanche.noise));
        if (r.nul_merged != 0)
            lines.push_back(format("%s on %s: %llu keys merged with another because the hash stops at the first NUL",
                                   r.hash.c_str(), r.keys.c_str(), (unsigned long long)r.nul_merged));
    }
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

namespace {

// Time figures per operation of the cost study, in report order.
const std::pair<const char*, spread_of_runs cost_result::*> time_figures[] = {
    {"insert", &cost_result::insert_ordered},
    {"insert_shuffled", &cost_result::insert_shuffled},
    {"hit", &cost_result::hit},
    {"miss", &cost_result::miss},
};

// The results of the same table on the same keys that were measured (not left out as too slow).
std::vector<const cost_result*> same_table(const std::vector<cost_result>& costs, const cost_result& c) {
    std::vector<const cost_result*> peers;
    for (const auto& other : costs)
        if (other.table == c.table && other.keys == c.keys && !other.too_slow) peers.push_back(&other);
    return peers;
}

const cost_result* best_of(const std::vector<const cost_result*>& peers, spread_of_runs cost_result::*figure) {
    const cost_result* best = nullptr;
    for (const auto* p : peers)
        if (best == nullptr || (p->*figure).median < (best->*figure).median) best = p;
    return best;
}

}  // namespace

void print_costs(std::FILE* out, const std::vector<cost_result>& costs, const std::string& pinning,
                 const std::vector<std::string>& left_out) {
    if (costs.empty()) return;
    std::fprintf(out, "\n-- cost in tables, %s: %llu keys, %s, %d runs after a warm-up\n", costs.front().keys.c_str(),
                 (unsigned long long)costs.front().key_count, pinning.c_str(), costs.front().runs);
    std::fprintf(out, "   ns per operation: median and half the range over the runs; * the best hash in that table, "
                      "~ within noise of it\n");
    if (!left_out.empty()) {
        std::string names;
        for (const auto& name : left_out) names += (names.empty() ? "" : ", ") + name;
        std::fprintf(out, "   left out, as they give one key different values: %s\n", names.c_str());
    }
    std::string table;
    for (const auto& c : costs) {
        if (c.table != table) {
            table = c.table;
            std::fprintf(out, "%s\n%-15s %7s  %-16s %-16s %-16s %-16s %7s %7s\n", table.c_str(), "hash", "hash ns",
                         "insert ns", "shuffled ns", "hit ns", "miss ns", "B/entry", "peak B");
        }
        if (c.too_slow) {
            std::fprintf(out, "%-15s %7.2f  too slow: %.0f ns per %s over %llu operations, then stopped\n",
                         c.hash.c_str(), c.hash_ns_per_key, c.cut_ns, c.cut_in.c_str(), (unsigned long long)c.cut_after);
            continue;
        }
        std::fprintf(out, "%-15s %7.2f ", c.hash.c_str(), c.hash_ns_per_key);
        const auto peers = same_table(costs, c);
        for (const auto& [name, figure] : time_figures) {
            const spread_of_runs& f = c.*figure;
            const cost_result* best = best_of(peers, figure);
            const char mark = best == &c ? '*' : within_noise(f, best->*figure) ? '~' : ' ';
            const double half_range = f.median > 0 ? 50 * (f.max - f.min) / f.median : 0;
            std::fprintf(out, " %7.1f ±%4.1f%% %c", f.median, half_range, mark);
        }
        std::fprintf(out, " %7.1f %7.1f\n", c.bytes_per_entry.median, c.peak_bytes_per_entry.median);
    }
}

std::vector<std::string> cost_findings(const std::vector<cost_result>& costs) {
    // Shuffled inserts and successful lookups. Inserts in the set's order favour a hash that keeps
    // neighbouring keys in neighbouring buckets (x31 on decimal keys), and a miss in a table that a
    // bad hash leaves mostly empty is cheap: either would name the good hashes.
    constexpr double slower_factor = 3;
    std::vector<std::string> lines;
    for (const auto& c : costs) {
        if (c.too_slow) {
            lines.push_back(format("%s in %s on %s: too slow to measure: %.0f ns per %s over the first %llu",
                                   c.hash.c_str(), c.table.c_str(), c.keys.c_str(), c.cut_ns, c.cut_in.c_str(),
                                   (unsigned long long)c.cut_after));
            continue;
        }
        const auto peers = same_table(costs, c);
        std::string slower;
        for (const auto& [name, figure] : {time_figures[1], time_figures[2]}) {
            const cost_result* best = best_of(peers, figure);
            const spread_of_runs& f = c.*figure;
            if (f.median >= slower_factor * (best->*figure).median && !within_noise(f, best->*figure))
                slower += format("%s%.0f ns per %s, %.1f times the best (%s)", slower.empty() ? "" : "; ", f.median,
                                 name, f.median / (best->*figure).median, best->hash.c_str());
        }
        if (!slower.empty())
            lines.push_back(format("%s in %s on %s: %s", c.hash.c_str(), c.table.c_str(), c.keys.c_str(), slower.c_str()));
    }
    return lines;
}

nlohmann::ordered_json to_json(const cost_result& c) {
    nlohmann::ordered_json j;
    j["table"] = c.table;
    j["hash"] = c.hash;
    j["keys"] = c.keys;
    j["key_count"] = c.key_count;
    j["runs"] = c.runs;
    j["hash_ns_per_key"] = c.hash_ns_per_key;
    const auto put = [&](const std::string& name, const spread_of_runs& f) {
        j[name + "_median"] = c.too_slow ? nlohmann::ordered_json() : nlohmann::ordered_json(f.median);
        j[name + "_min"] = c.too_slow ? nlohmann::ordered_json() : nlohmann::ordered_json(f.min);
        j[name + "_max"] = c.too_slow ? nlohmann::ordered_json() : nlohmann::ordered_json(f.max);
    };
    for (const auto& [name, figure] : time_figures) put(std::string(name) + "_ns", c.*figure);
    put("bytes_per_entry", c.bytes_per_entry);
    put("peak_bytes_per_entry", c.peak_bytes_per_entry);
    j["too_slow"] = c.too_slow;
    j["cut_in"] = c.too_slow ? nlohmann::ordered_json(c.cut_in) : nullptr;
    j["cut_after"] = c.cut_after;
    j["cut_ns"] = c.cut_ns;
    return j;
}

nlohmann::ordered_json to_json(const result& r) {
    nlohmann::ordered_json j;
    j["hash"] = r.hash;
    j["keys"] = r.keys;
    j["key_count"] = r.key_count;
    j["width"] = r.width;
    j["ns_per_key"] = r.ns_per_key;
    j["distinct"] = r.full.distinct;
    j["collisions"] = r.full.count;
    j["ideal_collisions"] = r.full.ideal;
    j["collision_ratio"] = r.full.ratio;
    j["collision_sigmas"] = r.full.sigmas;
    const bool wide = r.width == 64;
    j["low32_distinct"] = wide ? nlohmann::ordered_json(r.low32.distinct) : nullptr;
    j["low32_collisions"] = wide ? nlohmann::ordered_json(r.low32.count) : nullptr;
    j["low32_ideal_collisions"] = wide ? nlohmann::ordered_json(r.low32.ideal) : nullptr;
    j["low32_sigmas"] = wide ? nlohmann::ordered_json(r.low32.sigmas) : nullptr;
    for (const auto& [prefix, s] : {std::pair{"pow2", r.power_of_two}, std::pair{"prime", r.prime}}) {
        const std::string p = prefix;
        j[p + "_buckets"] = s.buckets;
        j[p + "_empty"] = s.empty;
        j[p + "_ideal_empty"] = s.ideal_empty;
        j[p + "_empty_sigmas"] = s.empty_sigmas;
        j[p + "_longest"] = s.longest;
        j[p + "_ideal_longest"] = s.ideal_longest;
    }
    j["window_first_bit"] = r.window.first_bit;
    j["window_bits"] = r.window.bits;
    j["window_sigmas"] = r.window.sigmas;
    j["avalanche_samples"] = r.avalanche.samples;
    j["avalanche_cells"] = r.avalanche.cells;
    j["avalanche_bias_pct"] = r.avalanche.worst;
    j["avalanche_noise_pct"] = r.avalanche.noise;
    j["avalanche_input_bit"] = r.avalanche.input_bit;
    j["avalanche_output_bit"] = r.avalanche.output_bit;
    j["nul_merged"] = r.nul_merged;
    return j;
}

std::string to_csv(const std::vector<nlohmann::ordered_json>& rows) {
    std::ostringstream csv;
    if (rows.empty()) return "";
    const char* separator = "";
    for (const auto& field : rows.front().items()) {
        csv << separator << field.key();
        separator = ",";
    }
    csv << '\n';
    for (const auto& row : rows) {
        separator = "";
        for (const auto& field : row.items()) {
            csv << separator;
            separator = ",";
            if (field.value().is_null()) continue;
            if (!field.value().is_string()) {
                csv << field.value().dump();
                continue;
            }
            // Quoted, with quotes doubled: a file name may hold commas or quotes.
            const std::string text = field.value().get<std::string>();
            csv << '"';
            for (char c : text) csv << (c == '"' ? "\"\"" : std::string(1, c));
            csv << '"';
        }
        csv << '\n';
    }
    return csv.str();
}

staged_file::staged_file(std::string path) : path_(std::move(path)) {
    std::string pattern = path_ + ".XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw bad_input("cannot write " + path_ + ": " + std::strerror(errno));
    close(fd);
    temporary_ = pattern;
}

staged_file::~staged_file() {
    if (!committed_) unlink(temporary_.c_str());
}

bool staged_file::write(const std::string& content) {
    std::FILE* file = std::fopen(temporary_.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

bool staged_file::commit() {
    // mkstemp made the file readable by its owner only; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temporary_.c_str(), 0666 & ~mask);
    committed_ = std::rename(temporary_.c_str(), path_.c_str()) == 0;
    return committed_;
}
