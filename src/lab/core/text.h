// Numbers and messages in words, for every report.
#pragma once

#include <cstdint>
#include <string>

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// 1234567 as "1,234,567".
std::string with_commas(uint64_t n);
