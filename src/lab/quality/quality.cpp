#include "quality/quality.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/measures.h"
#include "core/parallel.h"
#include "core/text.h"

namespace lab::quality {

namespace {

// How far from the ideal a result must lie before it is a finding. The collision and spread
// counts are single tests; the window bias is the worst of up to a thousand windows, hence the
// higher bar. The avalanche bias has its own noise level, computed for its number of cells.
constexpr double collision_sigmas = 5;
constexpr double empty_sigmas = 5;
constexpr double longest_factor = 2;
constexpr double window_sigmas = 6;

// A field of R, declared once: its column and how to read it from a result.
template <class R>
struct field {
    column shown;
    std::function<nlohmann::ordered_json(const R&)> get;

    template <class T>
    field(std::string name, std::string heading, std::string fmt, T R::*member, double scale = 1)
        : shown{std::move(name), std::move(heading), std::move(fmt), scale},
          get([member](const R& r) { return nlohmann::ordered_json(r.*member); }) {}
};

// A measure from the function that computes its result (none where it does not apply, and then
// its fields are null), the result's fields, and its finding.
template <class R>
quality_measure measure(std::string name, std::optional<R> (*compute)(const quality_input&), std::vector<field<R>> fields,
                        std::string (*finding)(const quality_row&)) {
    quality_measure m{std::move(name), {}, {}, finding};
    for (const auto& f : fields) m.columns.push_back(f.shown);
    m.run = [compute, fields](const quality_input& in, quality_row& row) {
        const std::optional<R> result = compute(in);
        for (const auto& f : fields) row[f.shown.field] = result ? f.get(*result) : nullptr;
    };
    return m;
}

// A number of a row, NaN where the field is null, so that no comparison with it holds.
double number(const quality_row& row, const char* name) {
    const auto& value = row.at(name);
    return value.is_null() ? std::numeric_limits<double>::quiet_NaN() : value.get<double>();
}

std::string subject(const quality_row& row) {
    return row.at("hash").get<std::string>() + " on " + row.at("keys").get<std::string>();
}

// ---- Collisions ----------------------------------------------------------------------------------

std::optional<collisions> all_bits(const quality_input& in) {
    std::vector<uint64_t> values = in.values;  // count_collisions sorts its copy
    return count_collisions(values, in.hash.width);
}

std::optional<collisions> low_32_bits(const quality_input& in) {
    if (in.hash.width != 64) return std::nullopt;
    std::vector<uint64_t> values = in.values;
    return count_collisions(values, 32);
}

std::string collision_finding(const quality_row& row, const char* count_field, const char* ideal_field,
                              const char* sigmas_field, const char* which, double bits) {
    const double sigmas = number(row, sigmas_field);
    if (!(sigmas > collision_sigmas)) return "";
    const double count = number(row, count_field), ideal = number(row, ideal_field);
    return format("%s: %llu collisions in %s %.0f bits, %.3g times the ideal %.4g (%+.0f sigma)", subject(row).c_str(),
                  (unsigned long long)count, which, bits, ideal > 0 ? count / ideal : 0, ideal, sigmas);
}

std::string all_bits_finding(const quality_row& row) {
    return collision_finding(row, "collisions", "ideal_collisions", "collision_sigmas", "all", number(row, "width"));
}
std::string low_32_finding(const quality_row& row) {
    return collision_finding(row, "low32_collisions", "low32_ideal_collisions", "low32_sigmas", "the low", 32);
}

// ---- Table spread --------------------------------------------------------------------------------

std::optional<table_spread> power_of_two_table(const quality_input& in) {
    return spread(in.values, power_of_two_near(in.values.size()));
}
std::optional<table_spread> prime_table(const quality_input& in) {
    return spread(in.values, prime_at_least(in.values.size()));
}

std::string spread_finding(const quality_row& row, const std::string& p, const char* kind) {
    const double sigmas = number(row, (p + "_empty_sigmas").c_str());
    const double longest = number(row, (p + "_longest").c_str()), ideal_longest = number(row, (p + "_ideal_longest").c_str());
    if (!(sigmas > empty_sigmas) && !(longest > longest_factor * ideal_longest)) return "";
    return format("%s: a %s table of %llu buckets leaves %.1f %% empty (ideal %.1f %%, %+.0f sigma), "
                  "longest chain %llu (ideal %.1f)",
                  subject(row).c_str(), kind, (unsigned long long)number(row, (p + "_buckets").c_str()),
                  100 * number(row, (p + "_empty").c_str()), 100 * number(row, (p + "_ideal_empty").c_str()), sigmas,
                  (unsigned long long)longest, ideal_longest);
}
std::string power_of_two_finding(const quality_row& row) { return spread_finding(row, "pow2", "power-of-two"); }
std::string prime_finding(const quality_row& row) { return spread_finding(row, "prime", "prime-sized"); }

std::vector<field<table_spread>> spread_fields(const std::string& p, const char* empty_heading) {
    return {{p + "_buckets", "", "", &table_spread::buckets},
            {p + "_empty", empty_heading, "%6.1f%%", &table_spread::empty, 100},
            {p + "_ideal_empty", "", "", &table_spread::ideal_empty},
            {p + "_empty_sigmas", "", "", &table_spread::empty_sigmas},
            {p + "_longest", "max", "%4.0f", &table_spread::longest},
            {p + "_ideal_longest", "", "", &table_spread::ideal_longest}};
}

// ---- Output-bit windows, avalanche, NUL bytes ------------------------------------------------------

std::optional<window_bias> windows(const quality_input& in) { return worst_window(in.values, in.hash.width); }

std::string window_finding(const quality_row& row) {
    const double sigmas = number(row, "window_sigmas");
    if (!(sigmas > window_sigmas)) return "";
    const auto first = static_cast<long long>(number(row, "window_first_bit"));
    const auto last = (first + static_cast<long long>(number(row, "window_bits")) - 1) % static_cast<long long>(number(row, "width"));
    return format("%s: output bits %lld..%lld (wrapping) are unevenly spread, %.0f sigma", subject(row).c_str(), first,
                  last, sigmas);
}

std::optional<avalanche_result> flips(const quality_input& in) {
    return avalanche(in.hash, in.keys, in.values, in.sample, in.seed);
}

std::string avalanche_finding(const quality_row& row) {
    const double bias = number(row, "avalanche_bias_pct"), noise = number(row, "avalanche_noise_pct");
    if (!(bias > noise)) return "";
    return format("%s: flipping input bit %.0f flips output bit %.0f with a bias of %.1f %% (noise level %.1f %%)",
                  subject(row).c_str(), number(row, "avalanche_input_bit"), number(row, "avalanche_output_bit"), bias,
                  noise);
}

struct nul_merges {
    uint64_t merged;
};
std::optional<nul_merges> merged_keys(const quality_input& in) {
    if (!in.hash.stops_at_nul || in.keys.with_nul == 0) return nul_merges{0};
    return nul_merges{merged_at_nul([&](const key_visit& visit) {
        for (std::size_t i = 0; i < in.keys.size(); ++i) visit(in.keys.data(i));  // up to the first NUL
    })};
}

std::string nul_finding(const quality_row& row) {
    const double merged = number(row, "nul_merged");
    if (!(merged > 0)) return "";
    return format("%s: %llu keys merged with another because the hash stops at the first NUL", subject(row).c_str(),
                  (unsigned long long)merged);
}

}  // namespace

const std::vector<quality_measure>& quality_measures() {
    static const std::vector<quality_measure> table = {
        measure<collisions>("collisions", all_bits,
                            {{"distinct", "", "", &collisions::distinct},
                             {"collisions", "collisions", "%10.0f", &collisions::count},
                             {"ideal_collisions", "", "", &collisions::ideal},
                             {"collision_ratio", "ratio", "%7.3g", &collisions::ratio},
                             {"collision_sigmas", "sigma", "%7.1f", &collisions::sigmas}},
                            all_bits_finding),
        measure<collisions>("low32 collisions", low_32_bits,
                            {{"low32_distinct", "", "", &collisions::distinct},
                             {"low32_collisions", "low32 coll", "%10.0f", &collisions::count},
                             {"low32_ideal_collisions", "", "", &collisions::ideal},
                             {"low32_sigmas", "", "", &collisions::sigmas}},
                            low_32_finding),
        measure<table_spread>("power-of-two table", power_of_two_table, spread_fields("pow2", "2^k emp"),
                              power_of_two_finding),
        measure<table_spread>("prime table", prime_table, spread_fields("prime", "prm emp"), prime_finding),
        measure<window_bias>("output-bit windows", windows,
                             {{"window_first_bit", "", "", &window_bias::first_bit},
                              {"window_bits", "", "", &window_bias::bits},
                              {"window_sigmas", "window", "%7.1f", &window_bias::sigmas}},
                             window_finding),
        measure<avalanche_result>("avalanche", flips,
                                  {{"avalanche_samples", "", "", &avalanche_result::samples},
                                   {"avalanche_cells", "", "", &avalanche_result::cells},
                                   {"avalanche_bias_pct", "aval%", "%6.1f", &avalanche_result::worst},
                                   {"avalanche_noise_pct", "noise", "%6.1f", &avalanche_result::noise},
                                   {"avalanche_input_bit", "", "", &avalanche_result::input_bit},
                                   {"avalanche_output_bit", "", "", &avalanche_result::output_bit}},
                                  avalanche_finding),
        measure<nul_merges>("NUL merges", merged_keys, {{"nul_merged", "", "", &nul_merges::merged}}, nul_finding),
    };
    return table;
}

const std::vector<column>& quality_columns() {
    static const std::vector<column> columns = [] {
        std::vector<column> all = {{"hash", "hash", "%-15s"},
                                   {"keys", "", ""},
                                   {"key_count", "", ""},
                                   {"width", "bits", "%4.0f"},
                                   {"ns_per_key", "ns/key", "%7.2f"}};
        for (const auto& m : quality_measures()) all.insert(all.end(), m.columns.begin(), m.columns.end());
        return all;
    }();
    return columns;
}

quality_row measure_quality(const quality_input& in, double ns_per_key) {
    quality_row row;
    row["hash"] = in.hash.name;
    row["keys"] = in.keys.name;
    row["key_count"] = in.keys.size();
    row["width"] = in.hash.width;
    row["ns_per_key"] = ns_per_key;
    for (const auto& m : quality_measures()) m.run(in, row);
    return row;
}

std::vector<quality_row> study_quality(const std::vector<lab_hash>& hashes, const key_set& keys, int repeat,
                                       uint64_t sample, uint64_t seed,
                                       const std::function<void(const std::string&)>& step) {
    std::vector<double> ns(hashes.size());
    {
        std::vector<uint64_t> out;
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            step("timing " + hashes[i].name + " on " + keys.name);
            ns[i] = ns_per_key(hashes[i], keys, out, repeat);
        }
    }
    std::vector<quality_row> rows(hashes.size());
    const auto doing = [&](std::size_t i) { return "measuring " + hashes[i].name + " on " + keys.name; };
    on_every_core(
        hashes.size(),
        [&](std::size_t i) {
            step(doing(i));
            std::vector<uint64_t> values(keys.size());
            hashes[i].hash_all(hashes[i], keys, values.data());
            rows[i] = measure_quality({hashes[i], keys, values, sample, seed}, ns[i]);
        },
        [&](std::size_t i) { step(doing(i)); });  // the other thread may have named its own step since
    return rows;
}

std::vector<std::string> quality_findings(const quality_row& row) {
    std::vector<std::string> lines;
    for (const auto& m : quality_measures()) {
        std::string line = m.finding(row);
        if (!line.empty()) lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace lab::quality
