// libFuzzer target over every hash function and hasher object, hashlab's key-file parser and its
// --keys families. Each function gets a heap buffer
// that ends exactly where it may stop reading (at the NUL for the text functions, at the count
// for the counted ones), so AddressSanitizer reports any read past it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "hashes.h"
#include "core/keys.h"

using namespace lab;

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// An exact-size copy: `size` bytes, plus a NUL when `terminated`.
std::unique_ptr<char[]> exact_copy(const uint8_t* data, std::size_t size, bool terminated) {
    std::unique_ptr<char[]> copy(new char[size + (terminated ? 1 : 0)]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    if (terminated) copy[size] = '\0';
    return copy;
}

struct TextHashes {
    uint32_t x31, ramakrishna, one_at_a_time, fletcher;
    bool operator==(const TextHashes& o) const {
        return x31 == o.x31 && ramakrishna == o.ramakrishna && one_at_a_time == o.one_at_a_time && fletcher == o.fletcher;
    }
};

TextHashes text_hashes(const char* text) {
    return {X31_hash_string(text), HashRamakrishna(text), one_at_a_time_hash(text), fletcher32s(text)};
}

// A --keys argument: refused as bad input, or a family whose set, when small, holds what its row's
// closed forms say, and whose keys computed from their index are that set's, in its order. Files
// and the word list are not read.
void check_key_family(const std::string& given, uint64_t seed) {
    try {
        family_args args;
        const key_family& family = parse_family(given, args);
        if (family.count == nullptr) return;
        const uint64_t count = family.count(args);
        if (family.by_index != nullptr && count != 0) {
            const indexed_keys indexed = index_family(given, seed);
            std::string buffer(indexed.longest, '\0');
            for (uint64_t i : {uint64_t{0}, indexed.size / 2, indexed.size - 1})
                require(indexed.key(i, buffer.data()).size() <= indexed.longest, "an indexed key past its longest");
        }
        if (count > 20'000 || family.bytes(args) > (1u << 20)) return;
        const key_set keys = make_key_set(given, seed);
        require(family.distinct ? keys.size() == count : keys.size() <= count, "a set of another size than its count");
        if (family.by_index == nullptr) return;
        const indexed_keys indexed = index_family(given, seed);
        std::string buffer(indexed.longest, '\0');
        for (std::size_t i = 0; i < keys.size(); ++i)
            require(indexed.key(i, buffer.data()) == keys.key(i), "a key from its index unlike the generated one");
    } catch (const bad_input&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto count = static_cast<uint32_t>(size);
    const std::size_t text_length = strnlen(reinterpret_cast<const char*>(data), size);
    uint32_t seed = 0;
    std::memcpy(&seed, data, size < sizeof seed ? size : sizeof seed);

    // Text functions: the first NUL ends the text, whatever follows it.
    const auto text = exact_copy(data, text_length, true);
    const auto whole = exact_copy(data, size, true);
    const TextHashes of_text = text_hashes(text.get());
    require(of_text == text_hashes(whole.get()), "text hash depends on bytes after the first NUL");

    // Counted functions read exactly the count.
    const auto counted = exact_copy(data, size, false);
    const uint32_t fnv = fnv1a_hash(counted.get(), count);
    const uint32_t lookup2 = lookup2_hash(counted.get(), count, seed);
    (void)XXH32(counted.get(), size, seed);
    (void)XXH64(counted.get(), size, seed);

    // Hasher objects over a string holding every byte, NULs included.
    const std::string key(reinterpret_cast<const char*>(data), size);
    require(fnv1a_hasher{}(key) == fnv, "fnv1a_hasher differs from fnv1a_hash over the stored length");
    require(X31_hasher{}(key) == of_text.x31, "X31_hasher differs from X31_hash_string of the text");
    hash_chain_value = seed;
    require(my_hash{}(key) == lookup2 && hash_chain_value == lookup2, "my_hash differs from chained lookup2_hash");

    // The key-file parser: every line is a kept key or a counted duplicate, keys are distinct and
    // hold no line end, and each one is a line of the input.
    const key_set keys = parse_key_lines(key, "fuzz");
    const std::size_t lines = std::count(key.begin(), key.end(), '\n') + (key.empty() || key.back() == '\n' ? 0 : 1);
    require(keys.size() + keys.duplicates == lines, "a line neither kept nor counted as a duplicate");
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string_view k = keys.key(i);
        require(k.find('\n') == std::string_view::npos && seen.insert(k).second, "a key with a newline, or twice");
        require(keys.data(i)[k.size()] == '\0', "a key without its NUL");
        require(key.find(k) != std::string::npos, "a key that is not in the input");
    }
    check_key_family(std::string(text.get(), text_length), seed);
    return 0;
}
