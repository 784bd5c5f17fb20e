#include "io/report.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <sstream>
#include <utility>

#include "core/measures.h"
#include "core/text.h"

namespace lab::io {

namespace {

// Every JSON file opens with what made it: the command and the version of this layout (2: the
// first to say them; files without are of version 1, and hashreport reads both), then the run.
constexpr int json_format_version = 2;
nlohmann::ordered_json run_header(const char* command, const run_description& run) {
    return {{"command", command}, {"format_version", json_format_version}, {"settings", run.settings},
            {"machine", run.machine}, {"compiler", run.compiler}};
}

// The width of a column of names: the longest name, at least `least`, so no name shifts the rest.
int name_width(const std::vector<std::string>& names, std::size_t least) {
    for (const auto& n : names) least = std::max(least, n.size());
    return static_cast<int>(least);
}

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

namespace {

// A text as valid UTF-8: each byte that is not part of a well-formed sequence becomes the four
// characters \xNN. A key file's name is bytes, and JSON holds only Unicode text.
std::string as_utf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char lead = byte(i);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 && lead >= 0xC2 ? 2 : (lead >> 4) == 0xE ? 3
                                 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (byte(i + k) & 0xC0) == 0x80;
        // Overlong three-byte forms, UTF-16 surrogates, and four-byte forms past U+10FFFF.
        if (valid && length == 3) valid = !(lead == 0xE0 && byte(i + 1) < 0xA0) && !(lead == 0xED && byte(i + 1) >= 0xA0);
        if (valid && length == 4) valid = !(lead == 0xF0 && byte(i + 1) < 0x90) && !(lead == 0xF4 && byte(i + 1) >= 0x90);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += format("\\x%02X", lead);
            ++i;
        }
    }
    return out;
}

void make_utf8(nlohmann::ordered_json& value) {
    if (value.is_string()) value = as_utf8(value.get<std::string>());
    if (value.is_structured())
        for (auto& element : value) make_utf8(element);
}

}  // namespace

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
    if (!report.cost_study) return to_csv(header, report.quality);

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
    return to_csv(cost_header, rows);
}

std::string to_csv(const std::vector<std::string>& header, const std::vector<nlohmann::ordered_json>& rows) {
    std::ostringstream csv;
    const char* separator = "";
    for (const auto& name : header) {
        csv << separator << name;
        separator = ",";
    }
    csv << '\n';
    for (const auto& row : rows) {
        separator = "";
        for (const auto& name : header) {
            csv << separator;
            separator = ",";
            const auto field = row.find(name);
            if (field == row.end() || field->is_null()) continue;
            if (!field->is_string()) {
                csv << field->dump();
                continue;
            }
            // Quoted, with quotes doubled: a file name may hold commas or quotes.
            const std::string text = field->get<std::string>();
            csv << '"';
            for (char c : text) csv << (c == '"' ? "\"\"" : std::string(1, c));
            csv << '"';
        }
        csv << '\n';
    }
    return csv.str();
}

namespace {

nlohmann::ordered_json to_json(const check_result& r);
nlohmann::ordered_json to_json(const speed_point& p);
nlohmann::ordered_json to_json(const collide_result& r);

// A command's document: its header, then one object per item under its last field; as UTF-8 text.
template <class Item>
std::string document(nlohmann::ordered_json doc, const char* field, const std::vector<Item>& items) {
    doc[field] = nlohmann::ordered_json::array();
    for (const auto& item : items) doc[field].push_back(to_json(item));
    make_utf8(doc);
    return doc.dump(2) + "\n";
}

// One CSV row per item, under the fields an item's JSON object has, in its order.
template <class Item>
std::string csv_of(const std::vector<Item>& items) {
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& item : items) rows.push_back(to_json(item));
    std::vector<std::string> header;
    const nlohmann::ordered_json every_field = to_json(Item{});
    for (const auto& field : every_field.items()) header.push_back(field.key());
    return to_csv(header, rows);
}

}  // namespace

// ---- hashlab check ------------------------------------------------------------------------------

namespace {

nlohmann::ordered_json to_json(const check_result& r) {
    return {{"hash", r.hash},       {"family", r.family},         {"set", r.set},
            {"test", r.test},       {"of", r.of.empty() ? "values" : r.of}, {"bits", r.bits}, {"part", r.part},
            {"statistic", r.statistic}, {"expected", r.expected}, {"log2_p", r.log2_p},
            {"looked_at", r.looked_at}, {"log2_p_corrected", r.log2_p_corrected},
            {"nul_merged", r.nul_merged}, {"finding", r.finding}};
}

}  // namespace

void print_check(std::FILE* out, const check_report& report) {
    const auto all = verdicts(report.hashes, report.results);
    const int width = name_width(report.hashes, 18);
    std::fprintf(out, "\n%-*s %-7s %9s  %s\n", width, "hash", "verdict", "passed", "worst result (-log2 p, corrected)");
    for (const auto& v : all) {
        const check_result* worst = nullptr;
        for (const auto& r : report.results)
            if (r.hash == v.hash && (worst == nullptr || r.log2_p_corrected < worst->log2_p_corrected)) worst = &r;
        std::fprintf(out, "%-*s %-7s %4d/%-4d  %.1f on %s (%s)\n", width, v.hash.c_str(), v.verdict.c_str(), v.passed, v.total,
                     worst != nullptr ? -worst->log2_p_corrected : 0.0, worst != nullptr ? worst->set.c_str() : "-",
                     worst == nullptr ? "-" : (worst->test + (worst->of.empty() ? "" : ", " + worst->of)).c_str());
        for (const auto* r : v.worst_failed) std::fprintf(out, "    %s\n", describe(*r).c_str());
    }
    if (!all.empty())
        std::fprintf(out, "\nA result fails below p = 0.001 / T and warns below 0.01 / T, T the results of its hash (%d: "
                          "-log2 p above %.1f fails, above %.1f warns): a perfect hash fails in at most 0.1 %% of runs.\n",
                     all.front().total, -all.front().fail_log2, -all.front().warn_log2);
}

std::string to_json(const check_report& report) {
    nlohmann::ordered_json doc = run_header("check", report);
    doc["thresholds"] = "a result fails when p (corrected) < 0.001 / T and warns when p < 0.01 / T, T the hash's results";
    doc["verdicts"] = nlohmann::ordered_json::array();
    for (const auto& v : verdicts(report.hashes, report.results)) {
        nlohmann::ordered_json failed = nlohmann::ordered_json::array();
        for (const auto* r : v.worst_failed) failed.push_back(describe(*r));
        doc["verdicts"].push_back({{"hash", v.hash}, {"verdict", v.verdict}, {"passed", v.passed}, {"total", v.total},
                                   {"fail_below_log2_p", v.fail_log2}, {"warn_below_log2_p", v.warn_log2},
                                   {"failed", failed}});
    }
    return document(std::move(doc), "tests", report.results);
}

std::string to_csv(const check_report& report) { return csv_of(report.results); }

// ---- hashlab speed ------------------------------------------------------------------------------

namespace {

nlohmann::ordered_json to_json(const speed_point& p) {
    return {{"hash", p.hash}, {"mode", p.mode}, {"shortest", p.lengths.shortest}, {"longest", p.lengths.longest},
            {"rounds", p.rounds}, {"calls_per_round", p.calls}, {"ns", p.ns}, {"median_ns", p.median_ns},
            {"spread", p.spread()}, {"bytes_per_ns", p.bytes_per_ns()}};
}

std::string short_ns(double ns) {
    if (ns < 10) return format("%.2f", ns);
    if (ns < 1000) return format("%.1f", ns);
    return format("%.0f", ns);
}

std::string short_length(const length_range& r) {
    const auto one = [](uint32_t n) {
        if (n >= (1u << 20) && n % (1u << 20) == 0) return std::to_string(n >> 20) + "M";
        if (n >= 1024 && n % 1024 == 0) return std::to_string(n >> 10) + "K";
        return std::to_string(n);
    };
    return r.fixed() ? one(r.shortest) : one(r.shortest) + "-" + one(r.longest);
}

}  // namespace

void print_speed(std::FILE* out, const speed_report& report) {
    // The columns: the usual key lengths where the plan has them (every length when it has few),
    // then the random-length ranges.
    std::vector<length_range> columns;
    const auto has = [&](const length_range& r) {
        return std::find_if(columns.begin(), columns.end(), [&](const length_range& c) {
                   return c.shortest == r.shortest && c.longest == r.longest;
               }) != columns.end();
    };
    const auto usual = [](const length_range& r) {
        static const uint32_t lengths[] = {1, 3, 4, 8, 16, 32, 64, 128, 1024, 65536, 1u << 20};
        return !r.fixed() || std::find(std::begin(lengths), std::end(lengths), r.shortest) != std::end(lengths);
    };
    std::size_t plan_lengths = 0;
    for (const auto& p : report.points) plan_lengths += p.hash == report.points.front().hash && p.mode == "throughput";
    for (const auto& p : report.points)
        if ((plan_lengths <= 12 || usual(p.lengths)) && !has(p.lengths)) columns.push_back(p.lengths);
    uint32_t longest = 0;
    for (const auto& p : report.points)
        if (p.lengths.fixed()) longest = std::max(longest, p.lengths.shortest);
    const auto point = [&](const std::string& hash, const std::string& mode, const length_range& r) -> const speed_point* {
        for (const auto& p : report.points)
            if (p.hash == hash && p.mode == mode && p.lengths.shortest == r.shortest && p.lengths.longest == r.longest) return &p;
        return nullptr;
    };
    const int width = name_width(report.hashes, 18);
    for (const char* mode : {"throughput", "latency"}) {
        std::fprintf(out, "\n%s, ns per hash by key length in bytes (A-B: random lengths from A to B)\n%-*s", mode,
                     width, "hash");
        for (const auto& c : columns) std::fprintf(out, " %8s", short_length(c).c_str());
        if (longest >= 1024) std::fprintf(out, "  GB/s at %s", short_length({longest, longest}).c_str());
        std::fprintf(out, "\n");
        for (const auto& hash : report.hashes) {
            std::fprintf(out, "%-*s", width, hash.c_str());
            for (const auto& c : columns) {
                const speed_point* p = point(hash, mode, c);
                std::fprintf(out, " %8s", p != nullptr ? short_ns(p->ns).c_str() : "-");
            }
            if (const speed_point* p = point(hash, mode, {longest, longest}); longest >= 1024 && p != nullptr)
                std::fprintf(out, "  %.2f", p->bytes_per_ns());
            std::fprintf(out, "\n");
        }
    }
    std::vector<double> spreads;
    for (const auto& p : report.points) spreads.push_back(p.spread());
    std::sort(spreads.begin(), spreads.end());
    if (!spreads.empty())
        std::fprintf(out, "\nEach figure is the fastest of %d rounds; the median round was slower by %.1f %% (median over "
                          "all figures), %.1f %% at the 90th percentile. XXH3 long keys: %s. %s.\n",
                     report.points.front().rounds, 100 * spreads[spreads.size() / 2], 100 * spreads[spreads.size() * 9 / 10],
                     report.vector_path.c_str(), report.pinning.c_str());
}

std::string to_json(const speed_report& report) {
    nlohmann::ordered_json doc = run_header("speed", report);
    doc["xxh3_vector_path"] = report.vector_path;
    doc["pinning"] = report.pinning;
    doc["estimator"] = "ns: the fastest of the rounds, each round timing calls_per_round calls with the steady clock; "
                       "median_ns: the median round; spread: median_ns / ns - 1. No cycles: the clock frequency is not measured.";
    return document(std::move(doc), "points", report.points);
}

std::string to_csv(const speed_report& report) { return csv_of(report.points); }

// ---- hashlab collide ----------------------------------------------------------------------------

namespace {

// A key as a user pastes it: its text where every byte is printable ASCII, else its bytes in hex.
bool printable(const std::string& key) {
    return std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}
std::string pasteable(const std::string& key) {
    if (printable(key)) return key;
    std::string hex = "0x";
    for (unsigned char c : key) hex += format("%02x", c);
    return hex;
}
std::string quoted(const std::string& key) { return printable(key) ? "\"" + key + "\"" : pasteable(key); }

nlohmann::ordered_json to_json(const collide_result& r) {
    nlohmann::ordered_json passes = nlohmann::ordered_json::array(), pairs = nlohmann::ordered_json::array();
    for (const auto& p : r.done) passes.push_back({{"values", p.values}, {"collisions", p.collisions}, {"seconds", p.seconds}});
    nlohmann::ordered_json top = nlohmann::ordered_json::array();
    for (const auto& t : r.top_bits)
        top.push_back({{"bits", t.bits}, {"collisions", t.collisions}, {"expected", t.expected}, {"log2_p_more", t.log2_p_more}});
    for (const auto& p : r.pairs)
        pairs.push_back({{"value", format("0x%0*llx", r.width / 4, (unsigned long long)p.value)}, {"first", p.first},
                         {"second", p.second}, {"first_key", pasteable(p.first_key)}, {"second_key", pasteable(p.second_key)},
                         {"keys_in_hex", !printable(p.first_key) || !printable(p.second_key)}, {"keys_sharing", p.sharing}});
    return {{"hash", r.hash}, {"keys", r.keys}, {"count", r.count}, {"width", r.width}, {"passes", r.passes},
            {"passes_done", r.done.size()}, {"ranks", r.ranks}, {"threads", r.threads}, {"value_bytes", r.value_bytes},
            {"collisions", r.collisions}, {"expected", r.expected},
            {"ratio", r.expected > 0 ? static_cast<double>(r.collisions) / r.expected : 0.0},
            {"log2_p_more", r.log2_p_more}, {"log2_p_fewer", r.log2_p_fewer}, {"complete", r.complete},
            {"crowded", r.crowded}, {"seconds", r.seconds}, {"hash_seconds", r.hash_seconds},
            {"hash_sample", r.hash_sample}, {"pass_counts", passes}, {"pairs", pairs}, {"top_bits", top}};
}

}  // namespace

void print_collide(std::FILE* out, const collide_report& report) {
    std::vector<std::string> names;
    for (const auto& r : report.results) names.push_back(r.hash);
    const int width = name_width(names, 18);
    std::fprintf(out, "\n%-*s %-20s %16s %7s %11s %11s %7s  %-10s %-10s\n", width, "hash", "keys", "count", "passes",
                 "collisions", "expected", "ratio", "p(more)", "p(fewer)");
    for (const auto& r : report.results) {
        std::fprintf(out, "%-*s %-20s %16s %3zu/%-3llu %11s %11.4g %7.2f  %-10s %-10s\n", width, r.hash.c_str(),
                     r.keys.c_str(), with_commas(r.count).c_str(), r.done.size(), (unsigned long long)r.passes,
                     with_commas(r.collisions).c_str(), r.expected,
                     r.expected > 0 ? static_cast<double>(r.collisions) / r.expected : 0.0, p_value(r.log2_p_more).c_str(),
                     p_value(r.log2_p_fewer).c_str());
        if (!r.crowded.empty()) std::fprintf(out, "    %s\n", r.crowded.c_str());
        else if (!r.complete)
            std::fprintf(out, "    interrupted: %zu of %llu passes counted, set against their own expectation\n",
                         r.done.size(), (unsigned long long)r.passes);
        if (!r.top_bits.empty()) {
            // The widths a table keeps: the 32 top bits, and the width least like an ideal hash's.
            const auto least = std::min_element(r.top_bits.begin(), r.top_bits.end(), [](const auto& a, const auto& b) {
                return a.log2_p_more < b.log2_p_more;
            });
            std::fprintf(out, "    top 32 bits: %s pairs where %.4g are expected; of the top 32 to 63 bits, the least "
                              "likely: %d bits, %s where %.4g are expected, p(more) %s\n",
                         with_commas(r.top_bits.front().collisions).c_str(), r.top_bits.front().expected, least->bits,
                         with_commas(least->collisions).c_str(), least->expected, p_value(least->log2_p_more).c_str());
        }
        if (r.seconds > 0)
            std::fprintf(out, "    %.1f s, the hash alone about %.1f s of it (%.0f %%, by its rate on %s keys)\n", r.seconds,
                         r.hash_seconds, 100 * r.hash_seconds / r.seconds, with_commas(r.hash_sample).c_str());
        for (const auto& p : r.pairs)
            std::fprintf(out, "    0x%0*llx: key %s %s and key %s %s%s\n", r.width / 4, (unsigned long long)p.value,
                         with_commas(p.first).c_str(), quoted(p.first_key).c_str(), with_commas(p.second).c_str(),
                         quoted(p.second_key).c_str(),
                         p.sharing > 2 ? format(" (%s keys share it)", with_commas(p.sharing).c_str()).c_str() : "");
    }
    std::fprintf(out, "\nexpected: the colliding pairs of an ideal hash of the same width, N(N-1)/2^(width+1), over the "
                      "passes counted; p(more) = P(X >= collisions), X ~ Poisson(expected).\n");
}

std::string to_json(const collide_report& report) {
    return document(run_header("collide", report), "results", report.results);
}

std::string to_csv(const collide_report& report) {
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& r : report.results) {
        nlohmann::ordered_json row = to_json(r);
        row.erase("pass_counts");
        row.erase("top_bits");
        // The colliding pairs in one cell: "FIRST/SECOND" indices, space-separated.
        std::string pairs;
        for (const auto& p : r.pairs) pairs += (pairs.empty() ? "" : " ") + std::to_string(p.first) + "/" + std::to_string(p.second);
        row["pairs"] = pairs;
        rows.push_back(row);
    }
    nlohmann::ordered_json every = to_json(collide_result{});
    every.erase("pass_counts");
    every.erase("top_bits");
    std::vector<std::string> header;
    for (const auto& field : every.items()) header.push_back(field.key());
    return to_csv(header, rows);
}

// ---- hashlab choose -----------------------------------------------------------------------------

void print_choose(std::FILE* out, const choose_report& report) {
    std::vector<std::string> names;
    for (const auto& c : report.candidates) names.push_back(c.hash);
    const int width = name_width(names, 15);
    std::fprintf(out, "\nchoose on %s (%s keys); the battery: %s\n", report.keys.c_str(), with_commas(report.key_count).c_str(),
                 report.battery.c_str());
    for (const auto& c : report.candidates)
        std::fprintf(out, "%-*s %s\n", width, c.hash.c_str(),
                     c.sound() ? "sound" : ("unsound: " + (c.spread_fault.empty() ? c.battery_fault : c.spread_fault)).c_str());
    std::fprintf(out, "\n");
    for (const auto& a : report.answers) std::fprintf(out, "=> %s\n", a.text().c_str());
}

namespace {

nlohmann::ordered_json to_json(const answer::rival& r) {
    return {{"hash", r.hash}, {"vs_use", r.to_use.estimate}, {"low", r.to_use.low},
            {"high", std::isfinite(r.to_use.high) ? nlohmann::ordered_json(r.to_use.high) : nlohmann::ordered_json()},
            {"fault", r.fault}};
}

nlohmann::ordered_json answer_fields(const answer& a) {
    nlohmann::ordered_json tied = nlohmann::ordered_json::array(), unsound = nlohmann::ordered_json::array();
    for (const auto& r : a.tied) tied.push_back(to_json(r));
    for (const auto& r : a.faster_unsound) unsound.push_back(to_json(r));
    return {{"table", a.table}, {"keys", a.keys}, {"use", a.use}, {"fastest", a.fastest}, {"text", a.text()},
            {"tied", tied}, {"faster_unsound", unsound}};
}

}  // namespace

std::string to_json(const choose_report& report) {
    nlohmann::ordered_json doc = run_header("choose", report);
    doc["candidates"] = nlohmann::ordered_json::array();
    for (const auto& c : report.candidates)
        doc["candidates"].push_back({{"hash", c.hash}, {"sound", c.sound()}, {"spread_fault", c.spread_fault},
                                     {"battery_fault", c.battery_fault}});
    doc["answers"] = nlohmann::ordered_json::array();
    for (const auto& a : report.answers) doc["answers"].push_back(answer_fields(a));
    make_utf8(doc);
    return doc.dump(2) + "\n";
}

// One row per table: the answer, the tied and the faster unsound hashes by name.
std::string to_csv(const choose_report& report) {
    std::vector<nlohmann::ordered_json> rows;
    const auto names = [](const std::vector<answer::rival>& list) {
        std::string all;
        for (const auto& r : list) all += (all.empty() ? "" : " ") + r.hash;
        return all;
    };
    for (const auto& a : report.answers)
        rows.push_back({{"table", a.table}, {"keys", a.keys}, {"use", a.use}, {"fastest", a.fastest},
                        {"tied", names(a.tied)}, {"faster_unsound", names(a.faster_unsound)}, {"text", a.text()}});
    return to_csv({"table", "keys", "use", "fastest", "tied", "faster_unsound", "text"}, rows);
}

}  // namespace lab::io
