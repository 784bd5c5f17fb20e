#include "keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>
#include <random>

#include "decimal_key.h"

const char* const key_set_forms = "decimal[:N], words, file:PATH, random:LEN[:N], uuid[:N]";

void key_set::reserve(std::size_t keys, std::size_t bytes) {
    offsets_.reserve(keys + 1);
    arena_.reserve(bytes);
}

void key_set::add(std::string_view key) {
    // Offsets are 32-bit to keep the set compact; make_key_set refuses sets that would not fit.
    if (arena_.size() + key.size() + 1 > std::numeric_limits<uint32_t>::max())
        throw bad_input("key set " + name + " is larger than 4 GiB of key bytes");
    arena_.insert(arena_.end(), key.begin(), key.end());
    arena_.push_back('\0');
    offsets_.push_back(static_cast<uint32_t>(arena_.size()));
    if (key.find('\0') != std::string_view::npos) ++with_nul;
}

void key_set::drop_duplicates() {
    std::vector<uint32_t> order(size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
        const auto ka = key(a), kb = key(b);
        return ka != kb ? ka < kb : a < b;
    });
    std::vector<bool> repeated(size());
    for (std::size_t i = 1; i < order.size(); ++i)
        if (key(order[i]) == key(order[i - 1])) repeated[order[i]] = true;
    if (std::find(repeated.begin(), repeated.end(), true) == repeated.end()) return;

    key_set kept;
    kept.name = name;
    kept.reserve(size(), arena_.size());
    for (std::size_t i = 0; i < size(); ++i)
        if (!repeated[i]) kept.add(key(i));
    kept.duplicates = duplicates + (size() - kept.size());
    *this = std::move(kept);
}

key_set parse_key_lines(std::string_view text, std::string name) {
    key_set keys;
    keys.name = std::move(name);
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (end < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        keys.add(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    keys.drop_duplicates();
    return keys;
}

namespace {

// A count or length from a --keys argument: digits only, at least 1.
uint64_t parse_count(std::string_view text, const std::string& given) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw bad_input("malformed number '" + std::string(text) + "' in --keys " + given);
    if (value == 0) throw bad_input("--keys " + given + ": a key set of size 0");
    return value;
}

// Refuses a generated set before allocating it when it cannot fit in memory or in the arena.
void check_fits(uint64_t keys, uint64_t bytes_per_key, const std::string& given) {
    const uint64_t memory = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE));
    const long double need = (long double)keys * (bytes_per_key + 1 + sizeof(uint32_t));
    if (need > memory || (long double)keys * (bytes_per_key + 1) > std::numeric_limits<uint32_t>::max())
        throw bad_input("--keys " + given + ": " + std::to_string(keys) + " keys are past the memory they would take");
}

key_set read_key_file(const std::string& path, const std::string& given) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw bad_input("--keys " + given + ": cannot open " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    const int read_error = got < 0 ? errno : 0;
    close(fd);
    if (read_error != 0) throw bad_input("--keys " + given + ": cannot read " + path + ": " + std::strerror(read_error));
    key_set keys = parse_key_lines(text, given);
    if (keys.size() == 0) throw bad_input("--keys " + given + ": " + path + " is empty");
    return keys;
}

}  // namespace

key_set make_key_set(const std::string& given, uint64_t seed) {
    const std::size_t colon = given.find(':');
    const std::string kind = given.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : given.substr(colon + 1);
    const bool has_rest = colon != std::string::npos;

    if (kind == "file" && has_rest) return read_key_file(rest, given);
    if (kind == "words" && !has_rest) {
        if (access("/usr/share/dict/words", F_OK) != 0)
            throw bad_input("--keys words: /usr/share/dict/words is missing (Debian's wamerican installs it)");
        return read_key_file("/usr/share/dict/words", given);
    }

    key_set keys;
    keys.name = given;
    std::mt19937_64 random(seed);
    if (kind == "decimal") {
        const uint64_t n = has_rest ? parse_count(rest, given) : key_count;
        if (n > uint64_t(std::numeric_limits<int32_t>::max()) + 1)
            throw bad_input("--keys " + given + ": decimal keys stop at 2147483648");
        check_fits(n, 10, given);
        keys.reserve(n, n * 8);
        for (uint64_t i = 0; i < n; ++i) keys.add(decimal_key(static_cast<int32_t>(i)));
        return keys;  // distinct by construction
    }
    if (kind == "random" && has_rest) {
        const std::size_t second = rest.find(':');
        const uint64_t length = parse_count(rest.substr(0, second), given);
        const uint64_t n = second == std::string::npos ? 1'000'000 : parse_count(rest.substr(second + 1), given);
        check_fits(n, length, given);
        keys.reserve(n, n * (length + 1));
        std::string key(length, '\0');
        for (uint64_t i = 0; i < n; ++i) {
            for (char& c : key) c = static_cast<char>(random() & 0xFF);
            keys.add(key);
        }
    } else if (kind == "uuid") {
        const uint64_t n = has_rest ? parse_count(rest, given) : 1'000'000;
        check_fits(n, 36, given);
        keys.reserve(n, n * 37);
        const char* hex = "0123456789abcdef";
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t hi = random(), lo = random();
            // Version 4 in the third group's first digit, the variant bits 10 in the fourth's.
            const uint64_t bits[2] = {(hi & ~0xF000ull) | 0x4000ull, (lo & ~(3ull << 62)) | (2ull << 62)};
            char text[37];
            int pos = 0;
            for (int digit = 0; digit < 32; ++digit) {
                if (digit == 8 || digit == 12 || digit == 16 || digit == 20) text[pos++] = '-';
                text[pos++] = hex[(bits[digit / 16] >> (60 - 4 * (digit % 16))) & 0xF];
            }
            keys.add(std::string_view(text, 36));
        }
    } else {
        throw bad_input("unknown key set '" + given + "'; known: " + key_set_forms);
    }
    keys.drop_duplicates();
    return keys;
}
