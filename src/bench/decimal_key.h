// The key formatter: decimal text written right to left into one static buffer, so building a key
// allocates nothing and every key ends at the same place.
#pragma once

#include <cstdint>

// The benchmark's keys are the texts of 0 .. key_count - 1.
inline constexpr int32_t key_count = 5'000'000;

// 12 bytes would do (sign, ten digits, NUL); 16 keeps the buffer's end aligned.
inline char key_buffer[16];

// Returns the text of n, valid until the next call. Bytes in front of it keep what longer earlier
// texts left there.
inline const char* decimal_key(int32_t n) {
    char* p = key_buffer + sizeof key_buffer - 1;
    *p = '\0';
    // The magnitude as unsigned, so that of INT32_MIN (2147483648) is exact.
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    do {
        *--p = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (n < 0) *--p = '-';
    return p;
}
