// hashlab choose: which hash for these keys in this table. It joins three studies on the user's
// keys: how each hash spreads them against an ideal hash (quality), whether its values pass the
// battery, and its cost in each table timed side by side with its rivals; then one answer per
// table: the fastest sound hash, those tied with it, and the faster ones that are not sound, each
// with its reason.
#pragma once

#include <string>
#include <vector>

#include "core/timing.h"
#include "quality/quality.h"
#include "tables/cost_study.h"

namespace lab::choose {

struct candidate {
    std::string hash;
    std::string spread_fault;   // empty: spreads the keys as an ideal hash does
    std::string battery_fault;  // empty: passes the battery (its values at one seed; all of it when hostile)
    bool sound() const { return spread_fault.empty() && battery_fault.empty(); }
};

// The hash's spread figures on the keys (collisions at full width and in the low 32 bits, the
// empty buckets of a power-of-two and a prime table, the worst window of output bits), each as a
// one-sided p-value of doing worse than an ideal hash, corrected for the figures looked at: in
// words, the worst of them when its corrected p is below 0.001; else empty.
std::string spread_fault(const quality::quality_row& row);

struct answer {
    struct rival {
        std::string hash;
        interval to_use;  // its cost over the chosen hash's, timed side by side
        std::string fault;
    };
    std::string table, keys;
    std::string use;      // the fastest sound hash; empty when none was measured
    std::string fastest;  // the fastest of all
    bool hostile = false;
    std::vector<rival> tied, faster_unsound;
    std::string text() const;
};

answer answer_for(const tables::table_advice& advice, const std::vector<candidate>& candidates, bool hostile);

// The hashes a `hashlab check --json` report failed; bad_input when the file is not such a report.
std::map<std::string, tables::battery_failure> battery_failures(const std::string& path);
// The same from the report's text; `origin` names it in a refusal.
std::map<std::string, tables::battery_failure> battery_failures_in(const std::string& report, const std::string& origin);

}  // namespace lab::choose
