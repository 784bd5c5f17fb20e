#include "core/text.h"

#include "core/bits.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace lab {

std::string format(const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::string with_commas(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string p_value(double log2_p) {
    return log2_p > -10 ? format("%.3g", std::exp2(log2_p)) : format("< 2^%.0f", std::ceil(log2_p));
}

uint64_t parse_count(const std::string& option, const std::string& text, const std::string& what) {
    const auto refuse = [&] {
        return bad_input(option + " " + text + ": expected a whole number of " + what + ", as 4294967296, 2^32, 24Gi or 5G");
    };
    if (text.rfind("2^", 0) == 0) {
        const std::string power = text.substr(2);
        if (power.empty() || power.size() > 2 || power.find_first_not_of("0123456789") != std::string::npos) throw refuse();
        const int p = std::stoi(power);
        if (p > 63) throw refuse();
        return uint64_t{1} << p;
    }
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 20) throw refuse();
    uint128 number = 0;
    for (std::size_t d = 0; d < digits; ++d) number = number * 10 + static_cast<unsigned>(text[d] - '0');
    const std::string unit = text.substr(digits);
    const char* units[] = {"", "K", "M", "G", "T", "Ki", "Mi", "Gi", "Ti"};
    const uint128 scale[] = {1, 1000, 1000000, 1000000000, 1000000000000ull,
                                       1ull << 10, 1ull << 20, 1ull << 30, 1ull << 40};
    for (std::size_t u = 0; u < 9; ++u)
        if (unit == units[u]) {
            const uint128 n = number * scale[u];
            if (n == 0 || n > ~uint64_t{0}) throw refuse();
            return static_cast<uint64_t>(n);
        }
    throw refuse();
}


}  // namespace lab
