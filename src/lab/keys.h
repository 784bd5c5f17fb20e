// Key sets: every key of a set in one byte arena, so that millions of keys cost their bytes plus
// four bytes of offset each, not a string object apiece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Input the user got wrong: hashlab prints the message and exits with status 2.
struct bad_input : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class key_set {
public:
    std::string name;       // as given on the command line, e.g. "decimal:1000"
    uint64_t duplicates = 0;  // keys dropped because an earlier key was the same
    uint64_t with_nul = 0;    // keys holding a NUL byte

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

// Builds the set a --keys argument names: decimal[:N], words, file:PATH, random:LEN[:N], uuid[:N].
key_set make_key_set(const std::string& given, uint64_t seed);

// One key per line: LF or CR LF ends a line, the last line may lack it, any other byte is kept.
// Duplicates are dropped and counted, keys with a NUL counted.
key_set parse_key_lines(std::string_view text, std::string name);

// The names make_key_set accepts, for the message on an unknown one.
extern const char* const key_set_forms;
