// Numbers and messages in words, for every report, and numbers as users write them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lab {

// Input the user got wrong: hashlab prints the message and exits with status 2.
struct bad_input : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An option's count as a user writes it: "4294967296", "2^32", "24Gi", "5G" (keys, bytes, ...);
// bad_input naming the option otherwise.
uint64_t parse_count(const std::string& option, const std::string& text, const std::string& what = "keys");

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// 1234567 as "1,234,567".
std::string with_commas(uint64_t n);

// A p-value given in log2: "0.0144" down to 2^-10, "< 2^-38" below, where a double would round it
// to 0 long before the result stops being news.
std::string p_value(double log2_p);

}  // namespace lab
