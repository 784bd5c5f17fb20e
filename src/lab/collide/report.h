// hashlab collide's report: per hash its passes and its collisions against the ideal hash, on the
// console, as JSON and as CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "collide/collide.h"
#include "io/document.h"

namespace lab::collide {

// What hashlab collide counted: per hash, its passes, its collisions against the ideal hash.
struct collide_report : io::run_description {
    std::vector<collide_result> results;
};

void print_collide(std::FILE* out, const collide_report& report);
std::string to_json(const collide_report& report);
std::string to_csv(const collide_report& report);  // one row per hash
nlohmann::ordered_json to_json(const collide_result& r);

}  // namespace lab::collide
