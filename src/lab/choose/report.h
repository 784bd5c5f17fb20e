// hashlab choose's report: each hash's soundness on the keys, then one answer per table, on the
// console, as JSON and as CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "choose/choose.h"
#include "io/document.h"

namespace lab::choose {

// hashlab choose: each hash's soundness on the keys, then one answer per table.
struct choose_report : io::run_description {
    std::string keys, battery;  // the key set; where the battery's verdicts came from
    uint64_t key_count = 0;
    bool hostile = false;
    std::vector<candidate> candidates;
    std::vector<answer> answers;
};
void print_choose(std::FILE* out, const choose_report& report);
std::string to_json(const choose_report& report);
std::string to_csv(const choose_report& report);

}  // namespace lab::choose
