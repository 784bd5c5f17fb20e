// hashlab check's report: every result of every hash and the verdicts made of them, on the
// console, as JSON and as CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "check/check.h"
#include "io/document.h"

namespace lab::check {

// What hashlab check found: every result of every hash, and the verdicts made of them.
struct check_report : io::run_description {
    std::vector<check_result> results;
};

// One line per hash (PASS, WARN or FAIL, passed/total), and for each hash that did not pass the
// worst result of each family that failed, in words.
void print_check(std::FILE* out, const check_report& report);
std::string to_json(const check_report& report);
std::string to_csv(const check_report& report);  // one row per result
nlohmann::ordered_json to_json(const check_result& r);

}  // namespace lab::check
