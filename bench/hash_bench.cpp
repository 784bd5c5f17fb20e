// hash_bench: the cost of each hash alone, beside hashbench's cost of hash plus container.
//
//   <hash>/keys/throughput   ns per key over the benchmark's keys "0".."4999999", calls independent
//   <hash>/keys/latency      the same, each key's address depending on the previous result
//   <hash>/length:N          ns per key and bytes/s for keys of N bytes (1..8, 64, 1024)
//   baseline/...             the same loops around a trivial function: loop overhead
//   key_preparation          decimal_key, strlen and the string assignment of hashbench's loop
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decimal_key.h"
#include "hashes.h"

namespace {

const std::vector<std::string>& benchmark_keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> all;
        all.reserve(key_count);
        for (int32_t i = 0; i < key_count; ++i) all.emplace_back(decimal_key(i));
        return all;
    }();
    return keys;
}

// 1024 keys of one length, random printable bytes (no NUL, so the text hashes read them all).
std::vector<std::string> keys_of_length(std::size_t length) {
    std::mt19937 rng(static_cast<uint32_t>(length));
    std::uniform_int_distribution<int> byte('!', '~');
    std::vector<std::string> keys(1024);
    for (auto& k : keys)
        for (std::size_t n = 0; n < length; ++n) k += static_cast<char>(byte(rng));
    return keys;
}

// A zero the compiler cannot see through: ANDed with a result, it makes the next key's address
// depend on that result without changing which key it is.
volatile uint64_t runtime_zero = 0;

template <bool Chained, class Hash>
void run_over(benchmark::State& state, const std::vector<std::string>& keys, Hash hash) {
    const uint64_t chain_mask = runtime_zero;
    std::size_t i = 0;
    uint64_t h = 0;
    for (auto _ : state) {
        if constexpr (Chained) {
            h = hash(keys[i + (h & chain_mask)], static_cast<uint32_t>(i));
        } else {
            h = hash(keys[i], static_cast<uint32_t>(i));
        }
        benchmark::DoNotOptimize(h);
        if (++i == keys.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void key_preparation(benchmark::State& state) {
    std::string key;
    int32_t i = 0;
    for (auto _ : state) {
        const char* text = decimal_key(i);
        key.assign(text, std::strlen(text));
        benchmark::DoNotOptimize(key.data());
        benchmark::ClobberMemory();
        if (++i == key_count) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// Registers the three measurements of one hash, given as (key string, seed) -> hash, called
// directly and inline.
template <class Hash>
void register_hash(const std::string& name, Hash hash) {
    benchmark::RegisterBenchmark((name + "/keys/throughput").c_str(),
                                 [hash](benchmark::State& s) { run_over<false>(s, benchmark_keys(), hash); });
    benchmark::RegisterBenchmark((name + "/keys/latency").c_str(),
                                 [hash](benchmark::State& s) { run_over<true>(s, benchmark_keys(), hash); });
    benchmark::RegisterBenchmark((name + "/length").c_str(), [hash](benchmark::State& s) {
        const auto length = static_cast<std::size_t>(s.range(0));
        run_over<false>(s, keys_of_length(length), hash);
        s.SetBytesProcessed(s.iterations() * static_cast<int64_t>(length));
    })->DenseRange(1, 8)->Arg(64)->Arg(1024);
}

}  // namespace

int main(int argc, char** argv) {
    using key = const std::string&;
    register_hash("baseline", [](key k, uint32_t seed) { return static_cast<uint32_t>(k.size()) ^ seed; });
    register_hash("fnv1a_hash", [](key k, uint32_t) { return fnv1a_hash(k.data(), static_cast<uint32_t>(k.size())); });
    register_hash("X31_hash_string", [](key k, uint32_t) { return X31_hash_string(k.c_str()); });
    register_hash("HashRamakrishna", [](key k, uint32_t) { return HashRamakrishna(k.c_str()); });
    register_hash("fletcher32s", [](key k, uint32_t) { return fletcher32s(k.c_str()); });
    register_hash("one_at_a_time_hash", [](key k, uint32_t) { return one_at_a_time_hash(k.c_str()); });
    register_hash("lookup2_hash", [](key k, uint32_t seed) {
        return lookup2_hash(k.data(), static_cast<uint32_t>(k.size()), seed);
    });
    register_hash("XXH32", [](key k, uint32_t seed) { return XXH32(k.data(), k.size(), seed); });
    register_hash("XXH64", [](key k, uint32_t seed) { return XXH64(k.data(), k.size(), seed); });
    benchmark::RegisterBenchmark("key_preparation", key_preparation);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
