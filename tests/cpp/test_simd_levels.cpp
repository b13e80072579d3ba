// The run-time choice of SIMD level and its test hook.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "cpu_features.hpp"

namespace quorvex {
namespace {

TEST(SimdLevels, NamesRoundTrip) {
  for (SimdLevel level : kAllSimdLevels) {
    EXPECT_EQ(parse_simd_level(simd_level_name(level)), level);
  }
  EXPECT_EQ(parse_simd_level("sse9"), std::nullopt);
  EXPECT_EQ(parse_simd_level(""), std::nullopt);
}

TEST(SimdLevels, ForcingLowersButNeverRaises) {
  for (SimdLevel supported : kAllSimdLevels) {
    EXPECT_EQ(choose_simd_level(nullptr, supported), supported);
    EXPECT_EQ(choose_simd_level("bogus", supported), supported);
    for (SimdLevel forced : kAllSimdLevels) {
      EXPECT_EQ(choose_simd_level(simd_level_name(forced), supported), std::min(forced, supported));
    }
  }
}

TEST(SimdLevels, ActiveLevelIsSupported) {
  std::printf("SIMD level supported here: %s, active: %s\n",
              simd_level_name(supported_simd_level()), simd_level_name(active_simd_level()));
  EXPECT_LE(active_simd_level(), supported_simd_level());
}

}  // namespace
}  // namespace quorvex
