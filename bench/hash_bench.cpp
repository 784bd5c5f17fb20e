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

// One adapter per hash: the key string and a seed in, the hash out, called directly and inline.
struct Fnv1a {
    static constexpr const char* name = "fnv1a_hash";
    uint32_t operator()(const std::string& k, uint32_t) const { return fnv1a_hash(k.data(), static_cast<uint32_t>(k.size())); }
};
struct X31 {
    static constexpr const char* name = "X31_hash_string";
    uint32_t operator()(const std::string& k, uint32_t) const { return X31_hash_string(k.c_str()); }
};
struct Ramakrishna {
    static constexpr const char* name = "HashRamakrishna";
    uint32_t operator()(const std::string& k, uint32_t) const { return HashRamakrishna(k.c_str()); }
};
struct Fletcher {
    static constexpr const char* name = "fletcher32s";
    uint32_t operator()(const std::string& k, uint32_t) const { return fletcher32s(k.c_str()); }
};
struct OneAtATime {
    static constexpr const char* name = "one_at_a_time_hash";
    uint32_t operator()(const std::string& k, uint32_t) const { return one_at_a_time_hash(k.c_str()); }
};
struct Lookup2 {
    static constexpr const char* name = "lookup2_hash";
    uint32_t operator()(const std::string& k, uint32_t seed) const {
        return lookup2_hash(k.data(), static_cast<uint32_t>(k.size()), seed);
    }
};
struct Xxh32 {
    static constexpr const char* name = "XXH32";
    uint32_t operator()(const std::string& k, uint32_t seed) const { return XXH32(k.data(), k.size(), seed); }
};
struct Xxh64 {
    static constexpr const char* name = "XXH64";
    uint64_t operator()(const std::string& k, uint32_t seed) const { return XXH64(k.data(), k.size(), seed); }
};
struct Baseline {
    static constexpr const char* name = "baseline";
    uint32_t operator()(const std::string& k, uint32_t seed) const { return static_cast<uint32_t>(k.size()) ^ seed; }
};

constexpr int32_t key_count = 5'000'000;

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

template <class Hash, bool Chained>
void run_over(benchmark::State& state, const std::vector<std::string>& keys) {
    const Hash hash;
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

template <class Hash, bool Chained>
void on_keys(benchmark::State& state) {
    run_over<Hash, Chained>(state, benchmark_keys());
}

template <class Hash>
void by_length(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    run_over<Hash, false>(state, keys_of_length(length));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
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

template <class Hash>
void register_hash() {
    const std::string name = Hash::name;
    benchmark::RegisterBenchmark((name + "/keys/throughput").c_str(), on_keys<Hash, false>);
    benchmark::RegisterBenchmark((name + "/keys/latency").c_str(), on_keys<Hash, true>);
    benchmark::RegisterBenchmark((name + "/length").c_str(), by_length<Hash>)->DenseRange(1, 8)->Arg(64)->Arg(1024);
}

template <class... Hashes>
void register_hashes() {
    (register_hash<Hashes>(), ...);
}

}  // namespace

int main(int argc, char** argv) {
    register_hashes<Baseline, Fnv1a, X31, Ramakrishna, Fletcher, OneAtATime, Lookup2, Xxh32, Xxh64>();
    benchmark::RegisterBenchmark("key_preparation", key_preparation);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
