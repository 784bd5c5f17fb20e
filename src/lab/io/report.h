// hashlab's output: the console table, the findings, and the same results as JSON and CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "check/check.h"
#include "choose/choose.h"
#include "collide/collide.h"
#include "tables/cost_study.h"
#include "core/keys.h"
#include "quality/quality.h"
#include "speed/speed.h"

namespace lab::io {

// The report knows every study.
using namespace lab::quality;
using namespace lab::check;
using namespace lab::speed;
using namespace lab::tables;
using namespace lab::collide;
using namespace lab::choose;

// Everything a run found, built by the studies and written only by report.cpp.
struct key_set_summary {
    std::string name;
    uint64_t key_count = 0, duplicates = 0, with_nul = 0, bytes = 0;
};

// What every report says of its run besides its results: the settings, the hashes, the machine,
// the compiler.
struct run_description {
    nlohmann::ordered_json settings, machine;
    std::string compiler;
    std::vector<std::string> hashes;
};

struct lab_report : run_description {
    std::vector<key_set_summary> key_sets;
    std::vector<quality_row> quality;  // every hash on every key set, in the order measured
    bool cost_study = false;           // whether the tables were measured (their results may be few)
    std::vector<cost_result> costs;
    std::vector<table_advice> advice;  // one line per hashed table and key set
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
nlohmann::ordered_json to_json(const cost_result& c);
// Flat JSON objects as CSV under a fixed header: a field a row lacks, or that is null, is empty.
std::string to_csv(const std::vector<std::string>& header, const std::vector<nlohmann::ordered_json>& rows);

// What hashlab check found: every result of every hash, and the verdicts made of them.
struct check_report : run_description {
    std::vector<check_result> results;
};

// One line per hash (PASS, WARN or FAIL, passed/total), and for each hash that did not pass the
// worst result of each family that failed, in words.
void print_check(std::FILE* out, const check_report& report);
std::string to_json(const check_report& report);
std::string to_csv(const check_report& report);  // one row per result

// What hashlab speed measured: every point, and how (the estimator, the vector path, the pinning).
struct speed_report : run_description {
    std::string vector_path, pinning;
    std::vector<speed_point> points;
};

// ns per hash at the main lengths, throughput then latency, and GB/s at the longest fixed length.
void print_speed(std::FILE* out, const speed_report& report);
std::string to_json(const speed_report& report);
std::string to_csv(const speed_report& report);  // one row per point

// What hashlab collide counted: per hash, its passes, its collisions against the ideal hash.
struct collide_report : run_description {
    std::vector<collide_result> results;
};

void print_collide(std::FILE* out, const collide_report& report);
std::string to_json(const collide_report& report);
std::string to_csv(const collide_report& report);  // one row per hash

// hashlab choose: each hash's soundness on the keys, then one answer per table.
struct choose_report : run_description {
    std::string keys, battery;  // the key set; where the battery's verdicts came from
    uint64_t key_count = 0;
    bool hostile = false;
    std::vector<candidate> candidates;
    std::vector<answer> answers;
};
void print_choose(std::FILE* out, const choose_report& report);
std::string to_json(const choose_report& report);
std::string to_csv(const choose_report& report);

}  // namespace lab::io
