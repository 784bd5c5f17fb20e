// Key sets and the families that make them. A family generates its keys one at a time into a
// sink: into a key set's byte arena, or straight into a hash when only the values are wanted.
// The family table in keys.cpp is the only place the families are listed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

namespace lab {

// A registry's row names, "a, b, c".
template <class Rows>
std::string names_of(const Rows& rows) {
    std::string names;
    for (const auto& row : rows) names += (names.empty() ? "" : ", ") + row.name;
    return names;
}
// The one way a name that no row has is refused: "unknown KIND 'NAME'; known: ...".
inline bad_input unknown_name(const std::string& kind, const std::string& name, const std::string& known) {
    return bad_input("unknown " + kind + " '" + name + "'; known: " + known);
}

// Every key of a set in one byte arena, so that millions of keys cost their bytes plus four bytes
// of offset each, not a string object apiece.
class key_set {
public:
    std::string name;         // as given on the command line, e.g. "decimal:1000"
    uint64_t duplicates = 0;  // keys dropped because an earlier key was the same
    uint64_t with_nul = 0;    // keys holding a NUL byte
    uint64_t with_cr = 0;     // keys holding a carriage return: a file whose lines end in CR alone

    std::size_t size() const { return offsets_.size() - 1; }
    // Each key is followed by a NUL in the arena, so the text hashes can read it as a C string.
    const char* data(std::size_t i) const { return arena_.data() + offsets_[i]; }
    std::size_t length(std::size_t i) const { return offsets_[i + 1] - offsets_[i] - 1; }
    std::string_view key(std::size_t i) const { return {data(i), length(i)}; }
    std::size_t bytes() const { return arena_.capacity() + offsets_.capacity() * sizeof offsets_[0]; }

    void reserve(std::size_t keys, std::size_t bytes);
    void add(std::string_view key);
    // Drops every key that equals an earlier one, keeping the first's place in the order.
    void drop_duplicates();

private:
    std::vector<char> arena_;
    std::vector<uint32_t> offsets_{0};
};

// Receives a family's keys in order. The view is valid only during the call; the bytes after it
// hold a NUL, so a text hash may read the key as a C string.
using key_sink = std::function<void(std::string_view key)>;

// A --keys argument split into its family's parameters: "random:16:1000" is numbers {16, 1000}.
struct family_args {
    std::string given;
    std::vector<uint64_t> numbers;  // the family's parameters, then its count when it takes one
    std::string path;               // file:PATH
};
inline uint64_t nth(const family_args& args, std::size_t i) { return args.numbers[i]; }
inline uint64_t last_number(const family_args& args) { return args.numbers.back(); }

// A family whose i-th key is computed from i alone, so that any pass, thread or machine makes any
// slice of billions of keys without storing one (hashlab collide hashes them so).
struct indexed_keys {
    std::string given;
    uint64_t size = 0;        // the keys the family holds, capped at 2^64 - 1
    std::size_t longest = 0;  // bytes of its longest key
    // Counter keys differ only in their first min(8, longest) bytes, the index little-endian: a
    // loop may keep the rest in its buffer.
    bool counter = false;
    // Key i, written into `buffer` (at least `longest` bytes).
    std::function<std::string_view(uint64_t i, char* buffer)> key;
};

// A count the families' closed forms reach when the keys number 2^64 or more: they add and
// multiply without overflowing, stopping there.
inline constexpr uint64_t uncountable = ~uint64_t{0};
inline uint64_t capped_sum(uint64_t a, uint64_t b) { return a > uncountable - b ? uncountable : a + b; }
inline uint64_t capped_product(uint64_t a, uint64_t b) { return b != 0 && a > uncountable / b ? uncountable : a * b; }

// One row of key_families(). A family's keys come in one order, whichever way they are made.
struct key_family {
    std::string name;
    std::vector<std::string> parameters = {};  // numbers that must follow the name, e.g. {"LEN"}
    uint64_t default_count = 0;                // 0: the family takes no count N after its parameters;
                                               // `uncountable`: every key it has
    bool takes_path = false;
    bool distinct = false;  // no two keys alike, so none need dropping
    std::string note;
    std::string example;  // a small set of the family, made by the registry's test
    // The number of keys and their bytes in all (capped at `uncountable`), for the memory check
    // before a set is built; null when known only once read. Both refuse impossible parameters
    // with bad_input.
    uint64_t (*count)(const family_args&) = nullptr;
    uint64_t (*bytes)(const family_args&) = nullptr;
    void (*generate)(const family_args&, uint64_t seed, const key_sink&) = nullptr;
    // Key i from i alone, the same keys in the same order as `generate`; null when a key needs the
    // ones before it.
    indexed_keys (*by_index)(const family_args&, uint64_t seed) = nullptr;

    std::string usage() const;  // e.g. "random:LEN[:N]"
};

const std::vector<key_family>& key_families();
// The structured families' rows, the patterns that break weak hashes (structured_keys.cpp):
// key_families() lists them after the ordinary ones.
std::vector<key_family> structured_families();
// The usages of every family, joined for messages and help; of those computed from their index.
std::string key_family_usages();
std::string indexed_family_usages();

// The family a --keys argument names and its parameters; bad_input when it is malformed.
const key_family& parse_family(const std::string& given, family_args& args);


// The family a --keys argument names, its keys computed from their index; bad_input when the family
// has no such form or the argument is malformed.
indexed_keys index_family(const std::string& given, uint64_t seed);

// Builds the set a --keys argument names, in memory.
key_set make_key_set(const std::string& given, uint64_t seed);

// Passes every key of the set a --keys argument names to `sink`, one at a time, storing none.
void for_each_key(const std::string& given, uint64_t seed, const key_sink& sink);

// One key per line: LF or CR LF ends a line, the last line may lack it, any other byte is kept.
// Duplicates are dropped and counted, keys with a NUL counted.
key_set parse_key_lines(std::string_view text, std::string name);

}  // namespace lab
