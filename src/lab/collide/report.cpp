#include "collide/report.h"

#include <algorithm>

#include "core/stats.h"
#include "core/text.h"

namespace lab::collide {

using io::document;
using io::name_width;
using io::run_header;
using io::to_csv;

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

}  // namespace

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

}  // namespace lab::collide
