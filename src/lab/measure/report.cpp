#include "measure/report.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>
#include <utility>

#include "core/measures.h"
#include "core/text.h"

namespace lab::measure {

using namespace lab::quality;
using namespace lab::io;
using namespace lab::tables;

namespace {

// A cell of the console table: the field's value in its column's format, text `text_width` wide;
// "-" where it is null.
std::string cell(const column& c, const nlohmann::ordered_json& value, int text_width) {
    if (value.is_string()) return format("%-*s", text_width, value.get<std::string>().c_str());
    const std::string zero = format(c.format.c_str(), 0.0);
    if (value.is_null()) return std::string(zero.size() > 1 ? zero.size() - 1 : 0, ' ') + "-";
    return format(c.format.c_str(), c.scale * value.get<double>());
}

// A heading as wide as its column's cells, aligned as they are.
std::string heading(const column& c, int text_width) {
    const bool text = c.format.find('s') != std::string::npos;
    const std::size_t width = text ? static_cast<std::size_t>(text_width) : format(c.format.c_str(), 0.0).size();
    const std::string pad(width > c.heading.size() ? width - c.heading.size() : 0, ' ');
    return text ? c.heading + pad : pad + c.heading;
}

}  // namespace

void print_quality(std::FILE* out, const lab_report& report, const key_set_summary& keys) {
    const double n = static_cast<double>(keys.key_count);
    std::fprintf(out, "\n== %s: %llu keys", keys.name.c_str(), (unsigned long long)keys.key_count);
    if (keys.duplicates != 0) std::fprintf(out, " (%llu duplicates dropped)", (unsigned long long)keys.duplicates);
    std::fprintf(out, "\n   ideal hash: %.6g collisions at 32 bits, %.3g at 64\n", ideal_collisions(n, 0x1p32),
                 ideal_collisions(n, 0x1p64));
    const double pow2 = static_cast<double>(power_of_two_near(keys.key_count));
    const double prime = static_cast<double>(prime_at_least(keys.key_count));
    std::fprintf(out, "   ideal spread: %.0f buckets (2^k) %.1f %% empty, longest %.1f; %.0f (prime) %.1f %% empty, longest %.1f\n",
                 pow2, 100 * ideal_empty(n, pow2) / pow2, ideal_longest(n, pow2), prime,
                 100 * ideal_empty(n, prime) / prime, ideal_longest(n, prime));
    if (keys.with_nul != 0)
        std::fprintf(out, "   %llu keys hold a NUL byte: the text hashes read each key only up to its first NUL\n",
                     (unsigned long long)keys.with_nul);
    std::vector<std::string> names;
    for (const auto& row : report.quality)
        if (row.at("keys") == keys.name) names.push_back(row.at("hash").get<std::string>());
    const int width = name_width(names, 15);
    std::string line;
    for (const auto& c : quality_columns())
        if (!c.heading.empty()) line += (line.empty() ? "" : " ") + heading(c, width);
    std::fprintf(out, "%s\n", line.c_str());
    for (const auto& row : report.quality) {
        if (row.at("keys") != keys.name) continue;
        line.clear();
        for (const auto& c : quality_columns())
            if (!c.heading.empty()) line += (line.empty() ? "" : " ") + cell(c, row.at(c.field), width);
        std::fprintf(out, "%s\n", line.c_str());
    }
}

namespace {

// The results of the same table on the same keys that were measured (not left out as too slow).
std::vector<const cost_result*> same_table(const std::vector<cost_result>& costs, const cost_result& c) {
    std::vector<const cost_result*> peers;
    for (const auto& other : costs)
        if (other.table == c.table && other.keys == c.keys && !other.too_slow) peers.push_back(&other);
    return peers;
}

const cost_result* best_of(const std::vector<const cost_result*>& peers, cost_figure cost_result::*figure) {
    for (const auto* p : peers)
        if ((p->*figure).mark == "best") return p;
    return nullptr;
}

}  // namespace

void print_costs(std::FILE* out, const lab_report& report, const std::string& keys, const std::string& pinning) {
    std::vector<cost_result> costs;
    for (const auto& c : report.costs)
        if (c.keys == keys) costs.push_back(c);
    const auto& left_out = report.left_out;
    if (costs.empty()) return;
    int fewest = costs.front().runs, most = 0;
    for (const auto& c : costs) {
        if (c.too_slow) continue;
        fewest = std::min(fewest, c.runs);
        most = std::max(most, c.runs);
    }
    std::fprintf(out, "\n-- cost in tables, %s: %llu keys, %s, %d to %d rounds, each table's hashes side by side\n",
                 costs.front().keys.c_str(), (unsigned long long)costs.front().key_count, pinning.c_str(), fewest, most);
    std::fprintf(out, "   ns per operation: each part of a loop at its fastest round; * the best hash in that table,\n"
                      "   ~ tied with it, ? undecided; then how much slower than the best, paired part by part, and its\n"
                      "   95 %% interval\n");
    if (!left_out.empty()) {
        std::string names;
        for (const auto& name : left_out) names += (names.empty() ? "" : ", ") + name;
        std::fprintf(out, "   left out, as they give one key different values: %s\n", names.c_str());
    }
    std::vector<std::string> names;
    for (const auto& c : costs) names.push_back(c.hash);
    const int width = name_width(names, 15);
    std::string table;
    const auto advise = [&] {
        for (const auto& a : report.advice)
            if (a.table == table && a.keys == keys) std::fprintf(out, "=> %s\n", a.text().c_str());
    };
    for (const auto& c : costs) {
        if (c.table != table) {
            advise();
            table = c.table;
            std::fprintf(out, "%s\n%-*s %7s  %-26s %-26s %-26s %-26s %7s %7s\n", table.c_str(), width, "hash", "hash ns",
                         "insert ns", "shuffled ns", "hit ns", "miss ns", "B/entry", "peak B");
        }
        if (c.too_slow) {
            std::fprintf(out, "%-*s %7.2f  too slow: %.0f ns per %s over %llu operations, then stopped\n",
                         width, c.hash.c_str(), c.hash_ns_per_key, c.cut_ns, c.cut_in.c_str(), (unsigned long long)c.cut_after);
            continue;
        }
        std::fprintf(out, "%-*s %7.2f ", width, c.hash.c_str(), c.hash_ns_per_key);
        for (const auto& [name, figure] : cost_time_figures) {
            (void)name;
            const cost_figure& f = c.*figure;
            const char mark = f.mark == "best" ? '*' : f.mark == "tied" ? '~' : f.mark == "undecided" ? '?' : ' ';
            const std::string slower = f.mark == "best" ? "" : format("%+.0f%% %+.0f..%+.0f", 100 * (f.to_best.estimate - 1),
                                                                      100 * (f.to_best.low - 1), 100 * (f.to_best.high - 1));
            std::fprintf(out, " %7.1f %c %-16s", f.ns, mark, slower.c_str());
        }
        std::fprintf(out, " %7.1f %7.1f\n", c.bytes_per_entry.median, c.peak_bytes_per_entry.median);
    }
    advise();
}

namespace {

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
        for (const auto& [name, figure] : {cost_time_figures[1], cost_time_figures[2]}) {
            const cost_result* best = best_of(peers, figure);
            const cost_figure& f = c.*figure;
            // Only when the whole interval of the ratio lies that far above the best.
            if (best != nullptr && best != &c && f.to_best.low >= slower_factor)
                slower += format("%s%.0f ns per %s, %.1f (%.1f to %.1f) times the best (%s)", slower.empty() ? "" : "; ",
                                 f.ns, name, f.to_best.estimate, f.to_best.low, f.to_best.high, best->hash.c_str());
        }
        if (!slower.empty())
            lines.push_back(format("%s in %s on %s: %s", c.hash.c_str(), c.table.c_str(), c.keys.c_str(), slower.c_str()));
    }
    return lines;
}

}  // namespace

std::vector<std::string> findings(const lab_report& report) {
    std::vector<std::string> lines;
    for (const auto& row : report.quality)
        for (auto& line : quality_findings(row)) lines.push_back(std::move(line));
    for (auto& line : cost_findings(report.costs)) lines.push_back(std::move(line));
    return lines;
}

void print_findings(std::FILE* out, const lab_report& report) {
    std::fprintf(out, "\nFindings\n");
    const std::vector<std::string> lines = findings(report);
    for (const auto& line : lines) std::fprintf(out, "- %s\n", line.c_str());
    if (lines.empty()) std::fprintf(out, "no findings\n");
}

nlohmann::ordered_json to_json(const cost_result& c) {
    nlohmann::ordered_json j;
    j["table"] = c.table;
    j["hash"] = c.hash;
    j["keys"] = c.keys;
    j["key_count"] = c.key_count;
    j["runs"] = c.runs;
    j["group"] = c.group;
    j["hash_ns_per_key"] = c.hash_ns_per_key;
    const auto number = [&](double x) { return c.too_slow ? nlohmann::ordered_json() : nlohmann::ordered_json(x); };
    const auto put = [&](const std::string& name, const spread_of_runs& f) {
        j[name + "_median"] = number(f.median);
        j[name + "_min"] = number(f.min);
        j[name + "_max"] = number(f.max);
    };
    for (const auto& [name, figure] : cost_time_figures) {
        const cost_figure& f = c.*figure;
        const std::string field = std::string(name) + "_ns";
        j[field] = number(f.ns);
        std::vector<double> passes;  // ns per operation of each pass as a whole
        for (const auto& row : f.parts)
            passes.push_back(std::accumulate(row.begin(), row.end(), 0.0) / static_cast<double>(f.operations));
        put(field, summarise(passes));
        j[std::string(name) + "_mark"] = f.mark;
        const bool ratio = !c.too_slow && f.mark != "best" && f.to_best.samples > 0;
        j[std::string(name) + "_vs_best"] = ratio ? nlohmann::ordered_json(f.to_best.estimate) : nullptr;
        j[std::string(name) + "_vs_best_low"] = ratio ? nlohmann::ordered_json(f.to_best.low) : nullptr;
        j[std::string(name) + "_vs_best_high"] = ratio ? nlohmann::ordered_json(f.to_best.high) : nullptr;
        j[std::string(name) + "_vs_best_coverage"] = ratio ? nlohmann::ordered_json(f.to_best.coverage) : nullptr;
        j[field + "_passes"] = passes;
    }
    put("bytes_per_entry", c.bytes_per_entry);
    put("peak_bytes_per_entry", c.peak_bytes_per_entry);
    j["too_slow"] = c.too_slow;
    j["cut_in"] = c.too_slow ? nlohmann::ordered_json(c.cut_in) : nullptr;
    j["cut_after"] = c.cut_after;
    j["cut_ns"] = c.cut_ns;
    return j;
}

std::string to_json(const lab_report& report) {
    nlohmann::ordered_json doc = run_header(report.cost_study ? "tables" : "measure", report);
    for (const auto& k : report.key_sets)
        doc["key_sets"].push_back({{"name", k.name}, {"key_count", k.key_count}, {"duplicates", k.duplicates},
                                   {"with_nul", k.with_nul}, {"bytes", k.bytes}});
    doc["results"] = report.quality;
    if (report.cost_study) {
        doc["table_memory"] = "bytes the table holds through its allocator (a counting allocator)";
        doc["table_results"] = nlohmann::ordered_json::array();
        for (const auto& c : report.costs) doc["table_results"].push_back(to_json(c));
        doc["table_advice"] = nlohmann::ordered_json::array();
        for (const auto& a : report.advice) {
            nlohmann::ordered_json line{{"table", a.table}, {"keys", a.keys}, {"figure", "insert_shuffled + hit"},
                                        {"fastest", a.fastest}, {"text", a.text()}};
            line["fails_battery"] = nlohmann::ordered_json::object();
            for (const auto& [hash, f] : a.fails_battery) line["fails_battery"][hash] = {{"on_values", f.on_values}, {"where", f.where}};
            for (const auto& [name, list] : {std::pair{"within", &a.within}, {"slower", &a.slower},
                                             {"undecided", &a.undecided}}) {
                line[name] = nlohmann::ordered_json::array();
                for (const auto& r : *list)
                    line[name].push_back({{"hash", r.hash}, {"vs_fastest", r.to_fastest.estimate},
                                          {"low", r.to_fastest.low},
                                          {"high", std::isfinite(r.to_fastest.high) ? nlohmann::ordered_json(r.to_fastest.high)
                                                                                    : nlohmann::ordered_json()}});
            }
            doc["table_advice"].push_back(line);
        }
    }
    doc["findings"] = findings(report);
    make_utf8(doc);
    return doc.dump(2) + "\n";
}

std::string to_csv(const lab_report& report) {
    std::vector<std::string> header;
    for (const auto& c : quality_columns()) header.push_back(c.field);
    if (!report.cost_study) return io::to_csv(header, report.quality);

    // A cost row carries its hash's quality on the same keys, for the chart and for sorting.
    std::vector<std::string> cost_header;
    const nlohmann::ordered_json every_cost_field = to_json(cost_result{});
    // Each round's figures stay in the JSON: a CSV cell holds one value.
    for (const auto& field : every_cost_field.items())
        if (!field.value().is_array()) cost_header.push_back(field.key());
    for (const auto& name : header)
        if (std::find(cost_header.begin(), cost_header.end(), name) == cost_header.end()) cost_header.push_back(name);
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& c : report.costs) {
        rows.push_back(to_json(c));
        for (const auto& q : report.quality)
            if (q.at("hash") == c.hash && q.at("keys") == c.keys)
                for (const auto& field : q.items())
                    if (!rows.back().contains(field.key())) rows.back()[field.key()] = field.value();
    }
    return io::to_csv(cost_header, rows);
}

}  // namespace lab::measure
