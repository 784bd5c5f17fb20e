// Key families whose i-th key is computed from i alone: any pass, thread or machine makes any slice
// of billions of keys without storing one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bits.h"

namespace lab::collide {

class index_keys {
public:
    // counter:LEN, sparse:LEN:K or text-between:C; bad_input when malformed. `seed` picks the
    // filler of counter keys and the base of sparse ones.
    index_keys(const std::string& given, uint64_t seed);

    std::string given;
    // The keys the family holds, at most 2^64 - 1.
    uint64_t size() const { return size_; }
    std::size_t longest() const { return base_.size(); }
    // Counter keys differ only in their first 8 bytes: a loop may keep the rest in its buffer.
    bool is_counter() const { return kind_ == kind::counter; }
    // Key i, written into `buffer` (at least longest() bytes).
    std::string_view key(uint64_t i, char* buffer) const;

private:
    enum class kind { counter, sparse, text } kind_;
    std::string base_;  // the bytes every key starts from
    uint64_t size_ = 0;
    int most_ = 0;                                // sparse: at most this many bits flipped
    std::vector<std::vector<uint128>> choose_;  // sparse: C(n, k), saturated
    std::vector<uint128> before_;               // sparse: keys with fewer than k bits flipped
};

}  // namespace lab::collide
