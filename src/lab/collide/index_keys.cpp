#include "collide/index_keys.h"

#include <cstring>
#include <random>

#include "core/keys.h"

namespace lab::collide {

namespace {

constexpr uint128 saturated = ~static_cast<uint128>(0) >> 1;

uint128 capped(uint128 v) { return v > saturated ? saturated : v; }

std::vector<uint64_t> numbers_after(const std::string& given, std::size_t expected) {
    std::vector<uint64_t> numbers;
    std::size_t at = given.find(':');
    while (at != std::string::npos) {
        const std::size_t next = given.find(':', at + 1);
        const std::string part = given.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 6)
            throw bad_input("--keys " + given + ": expected small whole numbers after the family's name");
        numbers.push_back(std::stoull(part));
        at = next;
    }
    if (numbers.size() != expected) throw bad_input("--keys " + given + ": expected " + std::to_string(expected) + " numbers");
    return numbers;
}

constexpr std::string_view alphanumerics = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view text_prefix = "The quick brown fox ", text_suffix = " jumps over the lazy dog";

}  // namespace

index_keys::index_keys(const std::string& text, uint64_t seed) : given(text) {
    const std::string name = text.substr(0, text.find(':'));
    std::mt19937_64 random(seed);
    if (name == "counter") {
        const uint64_t length = numbers_after(text, 1)[0];
        if (length == 0 || length > 4096) throw bad_input("--keys " + text + ": counter keys of 1 to 4,096 bytes");
        kind_ = kind::counter;
        base_.resize(length);
        for (char& c : base_) c = static_cast<char>(random());
        size_ = length >= 8 ? ~uint64_t{0} : uint64_t{1} << (8 * length);
    } else if (name == "sparse") {
        const auto n = numbers_after(text, 2);
        if (n[0] == 0 || n[0] > 4096 || n[1] == 0 || n[1] > 8 * n[0] || n[1] > 64)
            throw bad_input("--keys " + text + ": sparse:LEN:K, LEN from 1 to 4,096 bytes, K from 1 to 64 and at most 8 LEN");
        kind_ = kind::sparse;
        base_.resize(n[0]);
        for (char& c : base_) c = static_cast<char>(random());
        most_ = static_cast<int>(n[1]);
        const std::size_t bits = 8 * n[0];
        choose_.assign(bits + 1, std::vector<uint128>(most_ + 1, 0));
        for (std::size_t m = 0; m <= bits; ++m) {
            choose_[m][0] = 1;
            for (int k = 1; k <= most_ && static_cast<std::size_t>(k) <= m; ++k)
                choose_[m][k] = capped(choose_[m - 1][k - 1] + (static_cast<std::size_t>(k) <= m - 1 ? choose_[m - 1][k] : 0));
        }
        uint128 total = 0;
        before_.push_back(0);
        for (int k = 1; k <= most_; ++k) {
            total = capped(total + choose_[bits][k]);
            before_.push_back(total);
        }
        size_ = total >= ~uint64_t{0} ? ~uint64_t{0} : static_cast<uint64_t>(total);
    } else if (name == "text-between") {
        const uint64_t core = numbers_after(text, 1)[0];
        if (core == 0 || core > 64) throw bad_input("--keys " + text + ": a core of 1 to 64 characters");
        kind_ = kind::text;
        base_ = std::string(text_prefix) + std::string(core, alphanumerics[0]) + std::string(text_suffix);
        uint128 n = 1;
        for (uint64_t i = 0; i < core; ++i) n = capped(n * alphanumerics.size());
        size_ = n >= ~uint64_t{0} ? ~uint64_t{0} : static_cast<uint64_t>(n);
    } else {
        throw bad_input("--keys " + text + ": collide takes counter:LEN, sparse:LEN:K or text-between:C");
    }
}

std::string_view index_keys::key(uint64_t i, char* buffer) const {
    std::memcpy(buffer, base_.data(), base_.size());
    switch (kind_) {
    case kind::counter:
        for (std::size_t b = 0; b < 8 && b < base_.size(); ++b) buffer[b] = static_cast<char>(i >> (8 * b));
        break;
    case kind::sparse: {
        // The index is unranked: first how many bits (1 to K) are flipped, then which, in the
        // combinatorial number system (the largest position first).
        int k = 1;
        while (before_[k] <= i) ++k;
        uint128 rank = i - before_[k - 1];
        std::size_t top = 8 * base_.size();
        for (; k > 0; --k) {
            std::size_t low = static_cast<std::size_t>(k) - 1, high = top - 1;  // C(low, k) <= rank < C(top, k)
            while (low < high) {
                const std::size_t mid = (low + high + 1) / 2;
                if (choose_[mid][k] <= rank) low = mid;
                else high = mid - 1;
            }
            rank -= choose_[low][k];
            buffer[low / 8] = static_cast<char>(buffer[low / 8] ^ (1 << (low % 8)));
            top = low;
        }
        break;
    }
    case kind::text:
        for (std::size_t at = base_.size() - text_suffix.size(); at-- > text_prefix.size();) {
            buffer[at] = alphanumerics[i % alphanumerics.size()];
            i /= alphanumerics.size();
        }
        break;
    }
    return {buffer, base_.size()};
}

}  // namespace lab::collide
