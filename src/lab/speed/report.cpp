#include "speed/report.h"

#include <algorithm>

#include "core/text.h"

namespace lab::speed {

using io::csv_of;
using io::document;
using io::name_width;
using io::run_header;

nlohmann::ordered_json to_json(const speed_point& p) {
    return {{"hash", p.hash}, {"mode", p.mode}, {"shortest", p.lengths.shortest}, {"longest", p.lengths.longest},
            {"rounds", p.rounds}, {"calls_per_round", p.calls}, {"ns", p.ns}, {"median_ns", p.median_ns},
            {"spread", p.spread()}, {"bytes_per_ns", p.bytes_per_ns()}};
}

namespace {

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

}  // namespace lab::speed
