// hashlab speed's report: ns per hash by key length, on the console, as JSON and as CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "speed/speed.h"
#include "io/document.h"

namespace lab::speed {

// What hashlab speed measured: every point, and how (the estimator, the vector path, the pinning).
struct speed_report : io::run_description {
    std::string vector_path, pinning;
    std::vector<speed_point> points;
};

// ns per hash at the main lengths, throughput then latency, and GB/s at the longest fixed length.
void print_speed(std::FILE* out, const speed_report& report);
std::string to_json(const speed_report& report);
std::string to_csv(const speed_report& report);  // one row per point
nlohmann::ordered_json to_json(const speed_point& p);

}  // namespace lab::speed
