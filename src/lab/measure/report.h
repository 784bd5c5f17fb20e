// hashlab measure's and tables' report: each hash's quality, then its cost in the tables (the
// quality study's columns beside the cost study's): the console table, the findings, and the same
// results as JSON and CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/keys.h"
#include "io/document.h"
#include "quality/quality.h"
#include "tables/cost_study.h"

namespace lab::measure {

// ---- hashlab measure and tables: the quality study, then the cost study ------------------------

// Everything a run found, built by the studies and written only by report.cpp.
struct key_set_summary {
    std::string name;
    uint64_t key_count = 0, duplicates = 0, with_nul = 0, bytes = 0;
};

struct lab_report : io::run_description {
    std::vector<key_set_summary> key_sets;
    std::vector<quality::quality_row> quality;  // every hash on every key set, in the order measured
    bool cost_study = false;           // whether the tables were measured (their results may be few)
    std::vector<tables::cost_result> costs;
    std::vector<tables::table_advice> advice;  // one line per hashed table and key set
    std::vector<std::string> left_out;  // hashes no table can use
};

// The console report of one key set, as soon as its quality is measured, and then of its costs.
void print_quality(std::FILE* out, const lab_report& report, const key_set_summary& keys);
void print_costs(std::FILE* out, const lab_report& report, const std::string& keys, const std::string& pinning);

// Every finding of the run: the quality rows', measure by measure, then the cost study's.
std::vector<std::string> findings(const lab_report& report);
void print_findings(std::FILE* out, const lab_report& report);

std::string to_json(const lab_report& report);
// The quality rows, or with a cost study one row per table and hash carrying its hash's quality
// on the same keys: always the same columns, whatever the rows.
std::string to_csv(const lab_report& report);
nlohmann::ordered_json to_json(const tables::cost_result& c);

}  // namespace lab::measure
