#include "collector/src/collector/address_map.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {

using tarnwell::collector::address_map;

TEST(address_map, agrees_with_a_standard_map_through_growth_including_the_reserved_key) {
  address_map map;
  std::unordered_map<std::uint64_t, std::uint64_t> plain;
  std::mt19937_64 random(7);
  // Addresses close together, as code addresses are, and a few anywhere.
  for (int i = 0; i < 50000; ++i) {
    const std::uint64_t key = i % 5 == 0 ? random() : 0x7f0000001000 + (random() % 200000) * 4;
    const std::uint64_t value = random();
    map.emplace(key, value);
    plain.emplace(key, value);  // both keep the first value of a key
  }
  for (std::uint64_t key : {~std::uint64_t{0}, std::uint64_t{0}}) {
    EXPECT_EQ(map.find(key), nullptr);
    map.emplace(key, 11);
    map.emplace(key, 12);
    plain.emplace(key, 11);
  }
  EXPECT_EQ(map.size(), plain.size());
  for (const auto& [key, value] : plain) {
    const auto* found = map.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value) << key;
  }
  EXPECT_EQ(map.find(0x7f0000000ffc), nullptr);
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find(~std::uint64_t{0}), nullptr);
  EXPECT_EQ(map.find(plain.begin()->first), nullptr);
}

}  // namespace
