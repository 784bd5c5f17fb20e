#include "choose/report.h"

#include <cmath>

#include "core/text.h"

namespace lab::choose {

using io::make_utf8;
using io::name_width;
using io::run_header;
using io::to_csv;

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

}  // namespace lab::choose
