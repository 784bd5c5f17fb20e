#include "core/keys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <limits>
#include <numeric>
#include <random>

#include "core/bits.h"
#include "core/parallel.h"
#include "decimal_key.h"

namespace lab {

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
    if (key.find('\r') != std::string_view::npos) ++with_cr;
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

namespace {

// Splits text into lines as parse_key_lines describes. Each key handed on is followed by a NUL
// in `line`, as the sink's contract asks.
void split_lines(std::string_view text, const key_sink& sink) {
    std::string line;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view key = text.substr(0, end);
        if (end < text.size() && !key.empty() && key.back() == '\r') key.remove_suffix(1);
        line.assign(key);
        sink(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

// The arena's offsets are 32-bit: a key file past that could never become a set, so reading
// stops there instead of filling memory (a file such as /dev/zero never ends).
constexpr uint64_t max_key_bytes = std::numeric_limits<uint32_t>::max();

std::string read_key_file(const std::string& path, const std::string& given) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw bad_input("--keys " + given + ": cannot open " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        if (text.size() + static_cast<std::size_t>(got) > max_key_bytes) {
            close(fd);
            throw bad_input("--keys " + given + ": " + path + " holds more than 4 GiB, the most a key set takes");
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    const int read_error = got < 0 ? errno : 0;
    close(fd);
    if (read_error != 0) throw bad_input("--keys " + given + ": cannot read " + path + ": " + std::strerror(read_error));
    if (text.empty()) throw bad_input("--keys " + given + ": " + path + " is empty");
    return text;
}

const char* const word_list = "/usr/share/dict/words";

void file_keys(const family_args& args, uint64_t, const key_sink& sink) {
    split_lines(read_key_file(args.path, args.given), sink);
}

void word_keys(const family_args& args, uint64_t, const key_sink& sink) {
    if (access(word_list, F_OK) != 0)
        throw bad_input("the word list " + std::string(word_list) + " is missing (Debian's wamerican installs it)");
    split_lines(read_key_file(word_list, args.given), sink);
}

// ---- Families of ordinary keys ------------------------------------------------------------------


uint64_t decimal_bytes(const family_args& args) {
    const uint64_t n = last_number(args);
    return n * std::to_string(n - 1).size();  // no key is longer than the last
}

void decimal_keys(const family_args& args, uint64_t, const key_sink& sink) {
    const uint64_t n = last_number(args);
    // decimal_key takes an int32_t; key 2147483647 is the last it writes without a sign.
    if (n > uint64_t(std::numeric_limits<int32_t>::max()) + 1)
        throw bad_input("--keys " + args.given + ": decimal keys stop at 2147483648");
    for (uint64_t i = 0; i < n; ++i) sink(decimal_key(static_cast<int32_t>(i)));
}

void random_keys(const family_args& args, uint64_t seed, const key_sink& sink) {
    std::mt19937_64 random(seed);
    std::string key(nth(args, 0), '\0');
    for (uint64_t i = 0; i < nth(args, 1); ++i) {
        for (char& c : key) c = static_cast<char>(random() & 0xFF);
        sink(key);
    }
}

void uuid_keys(const family_args& args, uint64_t seed, const key_sink& sink) {
    std::mt19937_64 random(seed);
    const char* hex = "0123456789abcdef";
    for (uint64_t i = 0; i < last_number(args); ++i) {
        const uint64_t hi = random(), lo = random();
        // Version 4 in the third group's first digit, the variant bits 10 in the fourth's.
        const uint64_t bits[2] = {(hi & ~0xF000ull) | 0x4000ull, (lo & ~(3ull << 62)) | (2ull << 62)};
        char text[37];
        int pos = 0;
        for (int digit = 0; digit < 32; ++digit) {
            if (digit == 8 || digit == 12 || digit == 16 || digit == 20) text[pos++] = '-';
            text[pos++] = hex[(bits[digit / 16] >> (60 - 4 * (digit % 16))) & 0xF];
        }
        text[36] = '\0';
        sink(std::string_view(text, 36));
    }
}

}  // namespace

const std::vector<key_family>& key_families() {
    static const std::vector<key_family> table = [] {
        std::vector<key_family> rows = {
            {.name = "decimal", .default_count = key_count, .distinct = true,
             .note = "the fixed run's keys \"0\", \"1\", ... (default: all five million)", .example = "decimal:1001",
             .count = last_number, .bytes = decimal_bytes, .generate = decimal_keys},
            {.name = "words", .note = "the system word list, /usr/share/dict/words", .example = "words",
             .generate = word_keys},
            {.name = "file", .takes_path = true, .note = "one key per line (LF or CR LF); duplicates dropped, NUL bytes kept",
             .example = "file:/usr/share/dict/words", .generate = file_keys},
            {.name = "random", .parameters = {"LEN"}, .default_count = 1'000'000,
             .note = "N keys of LEN random bytes, following --seed", .example = "random:5:300",
             .count = [](const family_args& a) { return nth(a, 1); },
             .bytes = [](const family_args& a) { return capped_product(nth(a, 0), nth(a, 1)); }, .generate = random_keys},
            {.name = "uuid", .default_count = 1'000'000, .note = "random version-4 UUID texts, following --seed",
             .example = "uuid:40", .count = last_number, .bytes = [](const family_args& a) { return capped_product(36, last_number(a)); },
             .generate = uuid_keys},
        };
        for (auto& row : structured_families()) rows.push_back(std::move(row));
        return rows;
    }();
    return table;
}

std::string key_family::usage() const {
    std::string text = name;
    if (takes_path) text += ":PATH";
    for (const auto& p : parameters) text += ":" + p;
    if (default_count != 0) text += "[:N]";
    return text;
}

std::string key_family_usages() {
    std::string all;
    for (const auto& f : key_families()) all += (all.empty() ? "" : ", ") + f.usage();
    return all;
}

namespace {

// A count or length from a --keys argument: digits only, at least 1.
uint64_t parse_key_number(std::string_view text, const std::string& given) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        throw bad_input("malformed number '" + std::string(text) + "' in --keys " + given);
    if (value == 0) throw bad_input("--keys " + given + ": a size or length of 0");
    return value;
}

// Refuses a set before allocating it when it cannot fit in the arena or in memory, naming which.
void check_fits(uint64_t keys, uint64_t bytes, const std::string& given) {
    if (keys == uncountable) throw bad_input("--keys " + given + ": too many keys to count");
    if (bytes == uncountable)
        throw bad_input("--keys " + given + ": its keys hold 2^64 bytes or more, more than a key set holds (4 GiB of key bytes)");
    const double memory = physical_memory();
    const long double arena = (long double)bytes + keys;  // each key's NUL
    if (arena > max_key_bytes)
        throw bad_input("--keys " + given + ": its keys hold " + std::to_string(bytes) +
                        " bytes in all, more than a key set holds (4 GiB of key bytes)");
    if (memory > 0 && arena + (long double)keys * sizeof(uint32_t) > memory)
        throw bad_input("--keys " + given + ": its " + std::to_string(keys) + " keys need more than this machine's " +
                        std::to_string(static_cast<uint64_t>(memory) >> 30) + " GiB of memory");
}

}  // namespace

const key_family& parse_family(const std::string& given, family_args& args) {
    const std::size_t colon = given.find(':');
    const std::string name = given.substr(0, colon);
    const auto& families = key_families();
    const auto family = std::find_if(families.begin(), families.end(), [&](const key_family& f) { return f.name == name; });
    const bool has_rest = colon != std::string::npos;
    if (family == families.end() || (family->takes_path && !has_rest) ||
        (!has_rest && !family->parameters.empty()) ||
        (has_rest && !family->takes_path && family->parameters.empty() && family->default_count == 0))
        throw unknown_name("key set", given, key_family_usages());

    args = {given, {}, {}};
    if (family->takes_path) {
        args.path = given.substr(colon + 1);
        return *family;
    }
    std::vector<std::string_view> parts;
    for (std::string_view rest = has_rest ? std::string_view(given).substr(colon + 1) : std::string_view(); has_rest;) {
        const std::size_t next = rest.find(':');
        parts.push_back(rest.substr(0, next));
        if (next == std::string_view::npos) break;
        rest.remove_prefix(next + 1);
    }
    const std::size_t most = family->parameters.size() + (family->default_count != 0 ? 1 : 0);
    if (parts.size() > most) throw unknown_name("key set", given, key_family_usages());
    for (const auto& part : parts) args.numbers.push_back(parse_key_number(part, given));
    if (family->default_count != 0 && args.numbers.size() == family->parameters.size())
        args.numbers.push_back(family->default_count);
    if (args.numbers.size() < family->parameters.size())
        throw unknown_name("key set", given, key_family_usages());
    if (family->count != nullptr) family->count(args);  // refuses impossible parameters
    return *family;
}

key_set make_key_set(const std::string& given, uint64_t seed) {
    family_args args;
    const key_family& family = parse_family(given, args);
    key_set keys;
    keys.name = given;
    if (family.count != nullptr) {
        const uint64_t n = family.count(args), bytes = family.bytes(args);
        check_fits(n, bytes, given);
        keys.reserve(n, bytes + n);
    }
    family.generate(args, seed, [&keys](std::string_view key) { keys.add(key); });
    if (!family.distinct) keys.drop_duplicates();
    return keys;
}

void for_each_key(const std::string& given, uint64_t seed, const key_sink& sink) {
    family_args args;
    const key_family& family = parse_family(given, args);
    // Without the keys at hand a repeat could not be dropped, and would count as a collision.
    if (!family.distinct) throw bad_input("--keys " + given + ": its keys may repeat, so they must be held in memory");
    if (family.count(args) == uncountable) throw bad_input("--keys " + given + ": too many keys to count");
    family.generate(args, seed, sink);
}

std::string indexed_family_usages() {
    std::string all;
    for (const auto& f : key_families())
        if (f.by_index != nullptr) all += (all.empty() ? "" : ", ") + f.usage();
    return all;
}

indexed_keys index_family(const std::string& given, uint64_t seed) {
    family_args args;
    const key_family& family = parse_family(given, args);
    if (family.by_index == nullptr)
        throw bad_input("--keys " + given + ": its keys are not computed from their index; these are: " +
                        indexed_family_usages());
    indexed_keys keys = family.by_index(args, seed);
    keys.given = given;
    return keys;
}

key_set parse_key_lines(std::string_view text, std::string name) {
    key_set keys;
    keys.name = std::move(name);
    split_lines(text, [&keys](std::string_view key) { keys.add(key); });
    keys.drop_duplicates();
    return keys;
}

}  // namespace lab
