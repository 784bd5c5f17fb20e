// hashlab's report: findings exactly at their thresholds, the console table, and the CSV's quoting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/keys.h"
#include "core/lab_hashes.h"
#include "quality/quality.h"
#include "measure/report.h"

using namespace lab;
using namespace lab::quality;
using namespace lab::io;
using namespace lab::measure;

namespace {

// A real row of a good 64-bit hash, with no finding, for the cases to change one field of.
quality_row good_row(const std::string& hash = "xxh3") {
    static const key_set keys = make_key_set("decimal:3000", 1);
    const lab_hash h = select_hashes({hash}, {}).front();
    std::vector<uint64_t> values(keys.size());
    h.hash_all(h, keys, values.data());
    return measure_quality({h, keys, values, 500, 1}, 2.0);
}

// Each finding appears just past its threshold and not just short of it.
TEST(Findings, AppearAtTheirThresholdsAndNotBelow) {
    ASSERT_EQ(quality_findings(good_row()), std::vector<std::string>{});
    struct threshold_case {
        std::vector<std::pair<const char*, double>> fields;
        bool found;
        const char* words;
        std::string keys = "decimal:3000";
    };
    const threshold_case cases[] = {
        {{{"collision_sigmas", 5.1}}, true, "collisions in all 64 bits"},
        {{{"collision_sigmas", 4.9}}, false, ""},
        {{{"low32_sigmas", 5.1}}, true, "collisions in the low 32 bits"},
        {{{"low32_sigmas", 4.9}}, false, ""},
        {{{"pow2_empty_sigmas", 5.1}}, true, "a power-of-two table of"},
        {{{"pow2_empty_sigmas", 4.9}}, false, ""},
        {{{"prime_empty_sigmas", 5.1}}, true, "a prime-sized table of"},
        {{{"prime_ideal_longest", 5}, {"prime_longest", 11}}, true, "longest chain 11 (ideal 5.0)"},
        {{{"prime_ideal_longest", 5}, {"prime_longest", 10}}, false, ""},
        {{{"window_sigmas", 6.1}}, true, "are unevenly spread, 6 sigma"},
        {{{"window_sigmas", 5.9}}, false, ""},
        {{{"avalanche_noise_pct", 5}, {"avalanche_bias_pct", 5.05}}, true, "bias of 5.0 % (noise level 5.0 %)"},
        {{{"avalanche_noise_pct", 5}, {"avalanche_bias_pct", 4.95}}, false, ""},
        {{{"nul_merged", 3}}, true, "3 keys merged with another"},
        {{{"collision_sigmas", 7}}, true, "the ideal 2.439e-13 (+7 sigma)", "file:/" + std::string(1000, 'd')},
    };
    for (const auto& c : cases) {
        quality_row row = good_row();
        for (const auto& [field, value] : c.fields) row[field] = value;
        row["keys"] = c.keys;
        const std::vector<std::string> lines = quality_findings(row);
        const std::string what = c.fields.front().first + std::string(" = ") + std::to_string(c.fields.back().second);
        ASSERT_EQ(lines.size(), c.found ? 1u : 0u) << what;
        if (c.found) {
            EXPECT_EQ(lines[0].rfind("xxh3 on " + c.keys + ": ", 0), 0u) << lines[0];
            EXPECT_NE(lines[0].find(c.words), std::string::npos) << lines[0];
        }
    }
    // A 32-bit hash has no low-32 figures: nothing to find there, and nothing breaks.
    const quality_row narrow = good_row("murmur3");
    EXPECT_TRUE(narrow.at("low32_sigmas").is_null());
    EXPECT_EQ(quality_findings(narrow), std::vector<std::string>{});
}

TEST(Csv, QuotesTextAndLeavesNullsEmpty) {
    const std::vector<nlohmann::ordered_json> rows = {{{"a", "x,\"y\""}, {"b", nullptr}, {"c", 1.5}}, {{"c", 2}}};
    EXPECT_EQ(to_csv({"a", "b", "c"}, rows), "a,b,c\n\"x,\"\"y\"\"\",,1.5\n,,2\n");
}

TEST(Console, ColumnsLineUpAndAMissingFigureIsADash) {
    lab_report report;
    report.quality = {good_row(), good_row("one_at_a_time/len")};
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    print_quality(out, report, {"decimal:3000", 3000, 0, 0, 1});
    std::fclose(out);
    const std::string printed(text, size);
    std::free(text);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = printed.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(printed.substr(start, end - start));
    ASSERT_EQ(lines.size(), 7u) << printed;  // blank, name, two ideal lines, heading, two rows
    EXPECT_EQ(lines[1], "== decimal:3000: 3000 keys");
    const std::string& heading = lines[4];
    EXPECT_EQ(heading.rfind("hash ", 0), 0u);
    for (const auto& row : {lines[5], lines[6]}) EXPECT_EQ(row.size(), heading.size()) << heading << "\n" << row;
    // The 32-bit hash shows "-" under "low32 coll", right-aligned like the numbers; its long name shifts nothing.
    const std::size_t end_of_low32 = heading.find("low32 coll") + std::string("low32 coll").size();
    EXPECT_EQ(lines[6].substr(end_of_low32 - 2, 2), " -") << lines[6];
    EXPECT_NE(lines[5].substr(end_of_low32 - 2, 2), " -") << lines[5];
}

}  // namespace
