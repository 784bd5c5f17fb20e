#include "core/text.h"

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

}  // namespace lab
