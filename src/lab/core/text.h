// Numbers and messages in words, for every report.
#pragma once

#include <cstdint>
#include <string>

namespace lab {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// 1234567 as "1,234,567".
std::string with_commas(uint64_t n);

// A p-value given in log2: "0.0144" down to 2^-10, "< 2^-38" below, where a double would round it
// to 0 long before the result stops being news.
std::string p_value(double log2_p);

}  // namespace lab
