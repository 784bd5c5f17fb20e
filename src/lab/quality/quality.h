// The quality measures as one registry: each row declares its columns once (JSON and CSV field,
// console heading and format, getter) beside the pure function of measures.h that computes them,
// and, optionally, its finding. The console table, the JSON, the CSV and the findings are all made
// from these rows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/keys.h"
#include "core/lab_hashes.h"

namespace lab::quality {

// One result, field by field: the JSON object written for it, also the source of its CSV line,
// its console line and its findings. A field that does not apply (low32 of a 32-bit hash) is null.
using quality_row = nlohmann::ordered_json;

// What a measure looks at: one hash's values on one key set, in the set's order.
struct quality_input {
    const lab_hash& hash;
    const key_set& keys;
    const std::vector<uint64_t>& values;
    uint64_t sample, seed;  // keys sampled for avalanche, and the seed of its choice
};

// A field of a result. The console shows it when it has a heading, printed with `format` (one
// double, or the text of a string field) after multiplying by `scale`.
struct column {
    std::string field, heading, format;
    double scale = 1;
};

struct quality_measure {
    std::string name;
    std::vector<column> columns;
    // Fills the measure's fields of the row.
    std::function<void(const quality_input&, quality_row&)> run;
    // The finding on a complete row, or "" when the result is what an ideal hash could give.
    std::function<std::string(const quality_row&)> finding;
};

// The only list of the measures, in column order.
const std::vector<quality_measure>& quality_measures();

// The fields of a quality row, in order: the row's identity (hash, keys, ...), then every measure's.
const std::vector<column>& quality_columns();

// Every measure of one hash on one key set; ns_per_key was timed before, alone.
quality_row measure_quality(const quality_input& in, double ns_per_key);

// The quality study of one key set: every hash timed alone (nothing else of the lab runs
// meanwhile), then measured on every core, one hash per thread. `step` is told what is running; on
// a failure, last the step that failed.
std::vector<quality_row> study_quality(const std::vector<lab_hash>& hashes, const key_set& keys, int repeat,
                                       uint64_t sample, uint64_t seed,
                                       const std::function<void(const std::string&)>& step);

// The findings of a row, measure by measure.
std::vector<std::string> quality_findings(const quality_row& row);

}  // namespace lab::quality
