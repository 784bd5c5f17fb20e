// hashlab's output: the console table, the findings, and the same results as JSON and CSV.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keys.h"
#include "measures.h"
#include "tables.h"

// Everything measured of one hash on one key set.
struct result {
    std::string hash, keys;
    uint64_t key_count = 0;
    int width = 32;
    bool stops_at_nul = false;
    double ns_per_key = 0;
    collisions full, low32;  // low32 only for 64-bit hashes
    table_spread power_of_two, prime;
    window_bias window;
    avalanche_result avalanche;
    uint64_t nul_merged = 0;  // text hashes on keys with NULs
};

// The heading of a key set's block: its size and what an ideal hash gives on it.
void print_key_set_heading(std::FILE* out, const key_set& keys, const result& any);
void print_table(std::FILE* out, const std::vector<result>& results);
// One line per result that an ideal hash would be very unlikely to give.
std::vector<std::string> findings(const std::vector<result>& results);

// The cost study of one key set: a block per table, a row per hash.
void print_costs(std::FILE* out, const std::vector<cost_result>& costs, const std::string& pinning,
                 const std::vector<std::string>& left_out);
std::vector<std::string> cost_findings(const std::vector<cost_result>& costs);

nlohmann::ordered_json to_json(const result& r);
nlohmann::ordered_json to_json(const cost_result& c);
// Flat JSON objects as CSV: the first row's fields are the header, a line per row.
std::string to_csv(const std::vector<nlohmann::ordered_json>& rows);

// A file written under a temporary name beside its destination and renamed into place only when
// complete, so a failed run leaves nothing partial. Creating it early reports a bad path at once.
class staged_file {
public:
    explicit staged_file(std::string path);
    staged_file(const staged_file&) = delete;
    staged_file& operator=(const staged_file&) = delete;
    ~staged_file();
    // Writes the content under the temporary name; false if it could not.
    bool write(const std::string& content);
    bool commit();  // renames into place
    const std::string& path() const { return path_; }

private:
    std::string path_, temporary_;
    bool committed_ = false;
};
