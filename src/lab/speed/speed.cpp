#include "speed/speed.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <charconv>
#include <cmath>

#include "core/bits.h"
#include "core/hash_calls.h"
#include "core/timing.h"

namespace lab::speed {

namespace {

// One timed round of a built-in hash, its call inlined into the loop, by row of builtin::rows.
using speed_call = uint64_t (*)(const speed_input&);
template <std::size_t... I>
constexpr std::array<speed_call, sizeof...(I)> builtin_rounds(std::index_sequence<I...>) {
    return {{+[](const speed_input& in) { return run_speed(inline_call<builtin::rows[I].call>{}, in); }...}};
}

uint64_t speed_round(const lab_hash& h, const speed_input& in) {
    static constexpr auto inlined = builtin_rounds(builtin::every);
    return h.builtin >= 0 ? inlined[static_cast<std::size_t>(h.builtin)](in) : run_speed(pointer_call{&h}, in);
}

// A sink the optimiser must assume is read: every round's sum ends here.
volatile uint64_t sink;

// The keys of one length or range. Most hashes read keys that overlap in one buffer of random
// bytes, starting at 64 successive offsets (every alignment). The bytes hold no NUL, so that the
// hashes that stop at the first NUL, which get keys of their own one after another, each ended by
// a NUL, read as many bytes as the others. Those keys take up to 512 KiB: for long keys fewer
// copies, and each key of a random-length range its own.
struct key_layout {
    std::string bytes;
    std::vector<uint32_t> starts;
};

key_layout overlapping(uint32_t longest, uint64_t& state) {
    key_layout keys{std::string(longest + 64, '\0'), std::vector<uint32_t>(speed_input::key_count)};
    for (char& c : keys.bytes) c = static_cast<char>(1 + mix64(++state) % 255);
    for (std::size_t j = 0; j < keys.starts.size(); ++j) keys.starts[j] = static_cast<uint32_t>(j & 63);
    return keys;
}

key_layout nul_ended(const length_range& range, const std::vector<uint32_t>& lengths, uint64_t& state) {
    key_layout keys{{}, std::vector<uint32_t>(speed_input::key_count)};
    const std::size_t copies = range.fixed() ? std::clamp<std::size_t>((std::size_t{512} << 10) / (range.longest + 1), 1, 64)
                                             : speed_input::key_count;
    for (std::size_t j = 0; j < copies; ++j) {
        keys.starts[j] = static_cast<uint32_t>(keys.bytes.size());
        for (uint32_t b = 0; b < lengths[j]; ++b) keys.bytes += static_cast<char>(1 + mix64(++state) % 255);
        keys.bytes += '\0';
    }
    for (std::size_t j = copies; j < keys.starts.size(); ++j) keys.starts[j] = keys.starts[j % copies];
    return keys;
}

}  // namespace

length_range parse_length(const std::string& text) {
    const auto number = [&](std::string_view part) {
        uint32_t value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc() || end != part.data() + part.size() || value < 1 || value > (1u << 30))
            throw bad_input("--length " + text + ": expected a length from 1 to 1073741824, or a range A-B");
        return value;
    };
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        const uint32_t n = number(text);
        return {n, n};
    }
    const length_range r{number(std::string_view(text).substr(0, dash)), number(std::string_view(text).substr(dash + 1))};
    if (r.shortest >= r.longest) throw bad_input("--length " + text + ": a range goes from the shorter length to the longer");
    // A round of a few milliseconds holds too few keys of random lengths beyond this for its rounds
    // to hash alike: the fastest round would be the one whose keys came out shortest.
    if (r.longest > longest_random_length)
        throw bad_input("--length " + text + ": random lengths go up to " + std::to_string(longest_random_length) +
                        " bytes; time longer keys at fixed lengths");
    return r;
}

speed_plan plan_speed(bool quick, const std::vector<length_range>& chosen) {
    speed_plan plan;
    plan.rounds = quick ? 5 : 7;
    plan.round_seconds = quick ? 0.0005 : 0.002;
    if (!chosen.empty()) {
        plan.lengths = chosen;
        return plan;
    }
    if (quick) {
        for (uint32_t n : {1u, 2u, 3u, 4u, 7u, 8u, 12u, 16u, 24u, 32u, 64u, 128u, 1024u, 65536u, 1u << 20}) plan.lengths.push_back({n, n});
        for (uint32_t top : {16u, 128u}) plan.lengths.push_back({1, top});
        return plan;
    }
    for (uint32_t n = 1; n <= 128; ++n) plan.lengths.push_back({n, n});
    for (uint32_t n = 256; n <= (1u << 20); n *= 2) plan.lengths.push_back({n, n});
    for (uint32_t top : {8u, 16u, 32u, 64u, 128u}) plan.lengths.push_back({1, top});
    return plan;
}

double time_round(const lab_hash& h, const speed_input& in) {
    const auto start = std::chrono::steady_clock::now();
    const uint64_t sum = speed_round(h, in);
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    sink = sink + sum;
    return took.count() / static_cast<double>(in.calls);
}

std::vector<speed_point> run_speed_study(const std::vector<lab_hash>& hashes, const speed_plan& plan, uint64_t seed,
                                         const std::function<void(const std::string&)>& step) {
    uint64_t state = mix64(seed);
    std::vector<uint32_t> lengths(speed_input::key_count);
    const bool any_text = std::any_of(hashes.begin(), hashes.end(), [](const lab_hash& h) { return h.stops_at_nul; });

    std::vector<speed_point> points;
    for (const auto& range : plan.lengths) {
        for (uint32_t& n : lengths) n = range.shortest + static_cast<uint32_t>(mix64(++state) % (range.longest - range.shortest + 1));
        const key_layout shared = overlapping(range.longest, state);
        const key_layout text = any_text ? nul_ended(range, lengths, state) : key_layout{};
        for (const bool latency : {false, true}) {
            // Named per hash, so that a plugin that crashes or calls exit() is the one the message names.
            const auto timing = [&](const lab_hash& h) {
                step("timing " + h.name + " on " + range.name() + "-byte keys, " + (latency ? "latency" : "throughput"));
            };
            std::vector<speed_input> inputs;
            for (const auto& h : hashes) {
                const key_layout& keys = h.stops_at_nul ? text : shared;
                inputs.push_back({keys.bytes.data(), keys.starts.data(), lengths.data(), latency, 1});
            }
            // Enough calls for a round of at least half of plan.round_seconds, grown at most eightfold
            // at a time, so that a slow first call (a library's symbol bound on first use, a page
            // touched for the first time) cannot leave a round of a few calls. It warms up too.
            const double round_ns = plan.round_seconds * 1e9;
            for (std::size_t i = 0; i < hashes.size(); ++i) {
                speed_input& in = inputs[i];
                timing(hashes[i]);
                for (double ns = time_round(hashes[i], in); ns * static_cast<double>(in.calls) < round_ns / 2 && in.calls < (uint64_t{1} << 32);
                     ns = time_round(hashes[i], in))
                    in.calls = std::clamp<uint64_t>(static_cast<uint64_t>(round_ns / std::max(ns, 1e-3)), in.calls + 1, in.calls * 8);
            }
            std::vector<std::vector<double>> rounds(hashes.size());
            for (int r = 0; r < plan.rounds; ++r)
                for (std::size_t i = 0; i < hashes.size(); ++i) {
                    if (hashes.size() > 1) timing(hashes[i]);
                    rounds[i].push_back(time_round(hashes[i], inputs[i]));
                }
            for (std::size_t i = 0; i < hashes.size(); ++i) {
                const spread_of_runs s = summarise(rounds[i]);
                points.push_back({hashes[i].name, latency ? "latency" : "throughput", range, plan.rounds, inputs[i].calls, s.min, s.median});
            }
        }
    }
    return points;
}

}  // namespace lab::speed
