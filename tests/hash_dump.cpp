// Reads one hex-encoded byte string and a seed per line, prints every hash of it: the bridge
// between our hashes and the independent implementation in reference_test.py.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "hashes.h"

int main() {
    std::string hex;
    uint32_t seed = 0;
    while (std::cin >> hex >> seed) {
        std::string bytes;
        for (std::size_t k = 0; k + 1 < hex.size(); k += 2) bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
        const char* text = bytes.c_str();  // the text hashes stop at the first NUL
        const auto length = static_cast<uint32_t>(bytes.size());
        std::printf("%08x %08x %08x %08x %08x %08x\n", fnv1a_hash(bytes.data(), length), X31_hash_string(text),
                    HashRamakrishna(text), one_at_a_time_hash(text), fletcher32s(text),
                    lookup2_hash(bytes.data(), length, seed));
    }
}
