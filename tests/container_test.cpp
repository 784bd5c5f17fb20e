// The chained hasher gives a new code on every call, so its container must ask for each key's code
// exactly once and keep it; the pure hashers may be asked again (no stored codes).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "hashes.h"

namespace {

TEST(HasherPolicy, OnlyTheChainedHasherMayThrow) {
    // Our library stores hash codes in the nodes exactly when the hasher is not noexcept.
    EXPECT_FALSE((std::is_nothrow_invocable_v<const my_hash&, const std::string&>));
    EXPECT_TRUE((std::is_nothrow_invocable_v<const fnv1a_hasher&, const std::string&>));
    EXPECT_TRUE((std::is_nothrow_invocable_v<const X31_hasher&, const std::string&>));
}

TEST(ChainedHasherContainer, HashesEachKeyOnceAndStaysConsistent) {
    constexpr int32_t n = 20000;  // grows the table several times
    std::vector<uint32_t> code(n);
    uint32_t chain = 0;
    for (int32_t i = 0; i < n; ++i) {
        const std::string key = std::to_string(i);
        code[i] = chain = lookup2_hash(key.data(), static_cast<uint32_t>(key.size()), chain);
    }

    hash_chain_value = 0;
    std::unordered_map<std::string, int32_t, my_hash> map;
    for (int32_t i = 0; i < n; ++i) map[std::to_string(i)] = i;

    // One call per subscript leaves the word exactly at the n-th chained value.
    EXPECT_EQ(hash_chain_value, code[n - 1]);
    ASSERT_EQ(map.size(), static_cast<std::size_t>(n));

    std::size_t seen = 0;
    std::vector<bool> found(n, false);
    for (std::size_t b = 0; b < map.bucket_count(); ++b) {
        for (auto it = map.begin(b); it != map.end(b); ++it) {
            ++seen;
            const int32_t i = it->second;
            EXPECT_EQ(it->first, std::to_string(i));
            EXPECT_EQ(code[i] % map.bucket_count(), b) << "key " << i << " sits in the wrong bucket";
            EXPECT_FALSE(found[i]);
            found[i] = true;
        }
    }
    EXPECT_EQ(seen, map.size());
    hash_chain_value = 0;
}

}  // namespace
