#include "check/report.h"

#include "core/text.h"

namespace lab::check {

using io::csv_of;
using io::document;
using io::name_width;
using io::run_header;

nlohmann::ordered_json to_json(const check_result& r) {
    return {{"hash", r.hash},       {"family", r.family},         {"set", r.set},
            {"test", r.test},       {"of", r.of.empty() ? "values" : r.of}, {"bits", r.bits}, {"part", r.part},
            {"statistic", r.statistic}, {"expected", r.expected}, {"log2_p", r.log2_p},
            {"looked_at", r.looked_at}, {"log2_p_corrected", r.log2_p_corrected},
            {"nul_merged", r.nul_merged}, {"finding", r.finding}};
}

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

}  // namespace lab::check
