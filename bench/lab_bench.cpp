// lab_bench: what hashlab's measures cost on five million values, the default run's size. The
// collision count must stay well under a second per hash; the rest decides the default run's time.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/keys.h"
#include "core/lab_hashes.h"
#include "core/measures.h"

using namespace lab;

namespace {

constexpr std::size_t values_per_run = 5'000'000;

std::vector<uint64_t> random_values(int width) {
    std::mt19937_64 random(1);
    std::vector<uint64_t> values(values_per_run);
    for (auto& v : values) v = width == 64 ? random() : random() & 0xFFFFFFFF;
    return values;
}

void collision_count(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const std::vector<uint64_t> values = random_values(width);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<uint64_t> copy = values;
        state.ResumeTiming();
        benchmark::DoNotOptimize(count_collisions(copy, width));
    }
}
BENCHMARK(collision_count)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond);

void table_spread(benchmark::State& state) {
    const std::vector<uint64_t> values = random_values(64);
    const uint64_t buckets = state.range(0) == 0 ? power_of_two_near(values.size()) : prime_at_least(values.size());
    for (auto _ : state) benchmark::DoNotOptimize(spread(values, buckets));
}
BENCHMARK(table_spread)->Arg(0)->Arg(1)->ArgNames({"prime"})->Unit(benchmark::kMillisecond);

void output_windows(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const std::vector<uint64_t> values = random_values(width);
    for (auto _ : state) benchmark::DoNotOptimize(worst_window(values, width));
}
BENCHMARK(output_windows)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond);

void avalanche_of_xxh64(benchmark::State& state) {
    const key_set keys = make_key_set("decimal", 1);
    const lab_hash h = select_hashes({"xxh64"}, {}).front();
    std::vector<uint64_t> values(keys.size());
    for (auto _ : state) benchmark::DoNotOptimize(avalanche(h, keys, values, 10'000, 1));
}
BENCHMARK(avalanche_of_xxh64)->Unit(benchmark::kMillisecond);

void decimal_key_set(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(make_key_set("decimal", 1).size());
}
BENCHMARK(decimal_key_set)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
