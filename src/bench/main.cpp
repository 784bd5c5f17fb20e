// hashbench: fills standard containers with five million decimal keys, once per hash function,
// and reports how long each fill took and, where keyed by a hash, how many distinct keys it kept.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <new>
#include <string>
#include <unordered_map>

#include "decimal_key.h"
#include "hashes.h"
#include "timing.h"

namespace {

// Exit statuses besides 0; the README lists them.
constexpr int exit_out_of_memory = 3;
constexpr int exit_write_failed = 4;

enum class size_line { omitted, printed };

// For the out-of-memory message.
const char* current_case = nullptr;

// One case: only the per-key work (format, measure, assign, derive the key, store) is timed.
template <class Map, class KeyOf>
void run_case(Map& map, const char* title, size_line size, std::string& key, KeyOf key_of) {
    current_case = title;
    std::printf("%s", title);
    const std::clock_t t0 = std::clock();
    for (int32_t i = 0; i < key_count; ++i) {
        const char* text = decimal_key(i);
        key.assign(text, std::strlen(text));
        map[key_of(key, i)] = i;
    }
    const std::clock_t t1 = std::clock();
    std::printf(time_line_format, report_seconds(elapsed_ms(t0, t1)));
    if (size == size_line::printed) std::cout << "sz=" << map.size() << '\n';
    map.clear();
}

// The twelve cases in report order. Each container is declared right before its case, so it is
// constructed then and all are released at the end in reverse order.
void run_all_cases() {
    std::string key;
    const auto the_string = [](const std::string& k, int32_t) -> const std::string& { return k; };
    using by_hash = std::unordered_map<uint32_t, int32_t>;

    std::unordered_map<std::string, int32_t, fnv1a_hasher> c1;
    run_case(c1, "std hash func... ", size_line::omitted, key, the_string);

    std::map<std::string, int32_t> c2;
    run_case(c2, "std map... ", size_line::omitted, key, the_string);

    by_hash c3;
    run_case(c3, "fletcher32s hash func... ", size_line::printed, key,
             [](const std::string& k, int32_t) { return fletcher32s(k.c_str()); });

    by_hash c4;
    run_case(c4, "X31_hash_string hash func... ", size_line::printed, key,
             [](const std::string& k, int32_t) { return X31_hash_string(k.c_str()); });

    by_hash c5;
    run_case(c5, "HashRamakrishna hash func... ", size_line::printed, key,
             [](const std::string& k, int32_t) { return HashRamakrishna(k.c_str()); });

    std::map<uint32_t, int32_t> c6;
    run_case(c6, "X31_hash_string hash func with map... ", size_line::printed, key,
             [](const std::string& k, int32_t) { return X31_hash_string(k.c_str()); });

    std::unordered_map<uint64_t, int32_t> c7;
    run_case(c7, "XXH64 hash func... ", size_line::printed, key, [](const std::string& k, int32_t i) {
        return XXH64(k.data(), k.size(), static_cast<uint64_t>(static_cast<uint32_t>(i)));
    });

    by_hash c8;
    run_case(c8, "XXH32 hash func... ", size_line::printed, key, [](const std::string& k, int32_t i) {
        return XXH32(k.data(), k.size(), static_cast<uint32_t>(i));
    });

    by_hash c9;
    run_case(c9, "Jenkins' One-at-a-Time hash func... ", size_line::printed, key,
             [](const std::string& k, int32_t) { return one_at_a_time_hash(k.c_str()); });

    by_hash c10;
    run_case(c10, "hash func... ", size_line::printed, key, [](const std::string& k, int32_t) {
        hash_chain_value = lookup2_hash(k.data(), static_cast<uint32_t>(k.size()), hash_chain_value);
        return hash_chain_value;
    });
    hash_chain_value = 0;

    std::unordered_map<std::string, int32_t, my_hash> c11;
    run_case(c11, "my hash func... ", size_line::printed, key, the_string);

    std::unordered_map<std::string, int32_t, X31_hasher> c12;
    run_case(c12, "X31_hash_string as func... ", size_line::printed, key, the_string);
}

// Pushes out whatever the report still has buffered; false if any of it could not be written.
bool report_written() {
    std::cout.flush();
    const bool flushed = std::fflush(stdout) == 0;
    return flushed && !std::ferror(stdout) && std::cout.good();
}

}  // namespace

int main() {
    try {
        run_all_cases();
    } catch (const std::bad_alloc&) {
        // The containers are gone by now, so there is memory to finish with.
        report_written();
        std::fprintf(stderr, "hashbench: out of memory in case \"%s\"\n", current_case ? current_case : "");
        return exit_out_of_memory;
    }
    if (!report_written()) {
        std::fprintf(stderr, "hashbench: could not write the report to standard output\n");
        return exit_write_failed;
    }
    return 0;
}
