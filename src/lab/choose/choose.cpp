#include "choose/choose.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "check/check.h"
#include "core/measures.h"
#include "core/stats.h"
#include "core/text.h"

namespace lab::choose {

namespace {

// log2 P(Z >= z), Z standard normal: half the two-sided tail of a chi-square of one degree.
double normal_above_log2(double z) { return z <= 0 ? 0 : chi_square_tail_log2(z * z, 1) - 1; }

double number(const quality::quality_row& row, const char* field) {
    return row.contains(field) && row[field].is_number() ? row[field].get<double>() : NAN;
}

std::string signed_percent(double ratio) { return format("%+.0f %%", 100 * (ratio - 1)); }

}  // namespace

std::string spread_fault(const quality::quality_row& row) {
    struct figure {
        double log2_p;
        std::string words;
    };
    std::vector<figure> figures;
    // Collisions are Poisson counts, their means often a handful: the exact tail, not a normal one.
    for (const auto& [count, mean, where] : {std::tuple{"collisions", "ideal_collisions", "at full width"},
                                             std::tuple{"low32_collisions", "low32_ideal_collisions", "in the low 32 bits"}}) {
        const double k = number(row, count), m = number(row, mean);
        if (std::isfinite(k) && std::isfinite(m) && k > m)
            figures.push_back({poisson_tail_log2(k, m), format("%.0f collisions %s where an ideal hash gives %.3g", k, where, m)});
    }
    for (const auto& [sigmas, buckets, kind] : {std::tuple{"pow2_empty_sigmas", "pow2_buckets", "power-of-two"},
                                                std::tuple{"prime_empty_sigmas", "prime_buckets", "prime"}}) {
        const double z = number(row, sigmas);
        if (std::isfinite(z) && z > 0)
            figures.push_back({normal_above_log2(z), format("a %s table of %.0f buckets leaves %.1f sigma more of them "
                                                            "empty than an ideal hash", kind, number(row, buckets), z)});
    }
    const double window = number(row, "window_sigmas");
    if (std::isfinite(window) && window > 0)
        figures.push_back({normal_above_log2(window), format("%.0f of its output bits from bit %.0f unevenly spread, "
                                                             "%.1f sigma", number(row, "window_bits"),
                                                             number(row, "window_first_bit"), window)});
    // Four counts, and every window of every width at every first bit.
    const double width = number(row, "width"), keys = number(row, "key_count");
    const double looked_at = 4 + (std::isfinite(width) && std::isfinite(keys)
                                      ? width * widest_window(static_cast<std::size_t>(keys)) : 0);
    const figure* worst = nullptr;
    for (const auto& f : figures)
        if (worst == nullptr || f.log2_p < worst->log2_p) worst = &f;
    if (worst == nullptr) return "";
    const double corrected = sidak_log2(worst->log2_p, looked_at);
    if (corrected >= std::log2(0.001)) return "";
    return "spreads your keys worse than an ideal hash: " + worst->words +
           format(" (p %s, corrected for %.0f figures)", p_value(corrected).c_str(), looked_at);
}

answer answer_for(const tables::table_advice& advice, const std::vector<candidate>& candidates, bool hostile) {
    answer a;
    a.table = advice.table;
    a.keys = advice.keys;
    a.hostile = hostile;
    const auto find = [&](const std::string& hash) -> const candidate* {
        for (const auto& c : candidates)
            if (c.hash == hash) return &c;
        return nullptr;
    };
    const auto sound = [&](const std::string& hash) {
        const candidate* c = find(hash);
        return c != nullptr && c->sound();
    };
    if (advice.by_speed.empty()) return a;
    a.fastest = advice.by_speed.front();
    for (const auto& hash : advice.by_speed)
        if (sound(hash)) {
            a.use = hash;
            break;
        }
    if (a.use.empty()) return a;
    const auto& against = advice.paired;
    const auto to_use = [&](const std::string& hash) { return against.at(hash).at(a.use); };
    bool before = true;
    for (const auto& hash : advice.by_speed) {
        if (hash == a.use) {
            before = false;
            continue;
        }
        const candidate* c = find(hash);
        if (sound(hash) && tables::standing_of(to_use(hash)) == tables::standing::tied)
            a.tied.push_back({hash, to_use(hash), ""});
        else if (before && c != nullptr && !c->sound())
            a.faster_unsound.push_back({hash, to_use(hash), c->spread_fault.empty() ? c->battery_fault : c->spread_fault});
    }
    return a;
}

std::string answer::text() const {
    const std::string sound_words = hostile ? "spread your keys as an ideal hash does and pass the whole battery"
                                            : "spread your keys as an ideal hash does and pass the battery on their values";
    if (fastest.empty()) return table + ": no hash was measured";
    if (use.empty())
        return table + ": no hash measured here both spreads your keys as an ideal hash does and passes the " +
               (hostile ? "whole battery" : "battery on its values") + "; the fastest is " + fastest;
    std::string line = table + ": use " + use + ": the fastest of the hashes that " + sound_words;
    if (!tied.empty()) {
        line += "; tied with it:";
        for (std::size_t i = 0; i < tied.size(); ++i)
            line += format("%s %s (%s, %.0f to %.0f %%)", i == 0 ? "" : ",", tied[i].hash.c_str(),
                           signed_percent(tied[i].to_use.estimate).c_str(), 100 * (tied[i].to_use.low - 1),
                           100 * (tied[i].to_use.high - 1));
    }
    if (!faster_unsound.empty()) {
        line += "; faster but unsound:";
        for (std::size_t i = 0; i < faster_unsound.size(); ++i)
            line += format("%s %s (%s: %s)", i == 0 ? "" : ",", faster_unsound[i].hash.c_str(),
                           signed_percent(faster_unsound[i].to_use.estimate).c_str(), faster_unsound[i].fault.c_str());
    }
    return line;
}

namespace {

// Whether a family's tests of values are what a table with one seed sees: by its row, so that a
// family the battery no longer has counts as not.
bool values_at_one_seed(const std::string& family) {
    for (const auto& row : check::check_families())
        if (row.name == family) return row.tests_values_at_one_seed();
    return false;
}

}  // namespace

std::map<std::string, tables::battery_failure> battery_failures(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw bad_input("--verdicts " + path + ": " + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    return battery_failures_in(text.str(), "--verdicts " + path);
}

std::map<std::string, tables::battery_failure> battery_failures_in(const std::string& report, const std::string& path) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(report);
    } catch (const nlohmann::json::exception&) {
        throw bad_input(path + ": not JSON; expected the file of hashlab check --json");
    }
    if (!doc.is_object() || doc.value("command", "") != "check" || !doc.contains("verdicts") || !doc["verdicts"].is_array())
        throw bad_input(path + ": not a hashlab check report (its \"command\" is " +
                        (doc.is_object() && doc.contains("command") ? doc["command"].dump() : std::string("missing")) +
                        "); expected the file of hashlab check --json");
    std::map<std::string, tables::battery_failure> fails;
    try {
        std::map<std::string, double> fail_below;
        for (const auto& v : doc["verdicts"]) {
            if (v.at("verdict").get<std::string>() != "FAIL") continue;
            const std::string hash = v.at("hash").get<std::string>();
            fail_below[hash] = v.at("fail_below_log2_p").get<double>();
            // "set, of what: finding": the set and what was tested say where.
            const std::string first = v.at("failed").empty() ? "" : v.at("failed").front().get<std::string>();
            fails[hash].where = first.substr(0, first.find(": "));
        }
        for (const auto& t : doc.value("tests", nlohmann::json::array())) {
            const std::string hash = t.at("hash").get<std::string>(), family = t.at("family").get<std::string>();
            const auto below = fail_below.find(hash);
            if (below == fail_below.end() || fails[hash].on_values || t.at("of").get<std::string>() != "values" ||
                !values_at_one_seed(family) || !t.at("log2_p_corrected").is_number() ||
                t.at("log2_p_corrected").get<double>() >= below->second)
                continue;
            fails[hash] = {true, t.at("set").get<std::string>() + ", " + t.at("test").get<std::string>()};
        }
    } catch (const nlohmann::json::exception&) {
        throw bad_input(path + ": a verdict or test without its hash, verdict, failures or p-value");
    }
    return fails;
}

}  // namespace lab::choose
