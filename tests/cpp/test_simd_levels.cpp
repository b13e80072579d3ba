// The run-time choice of SIMD level and its test hook.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// Written here, apart from the code's own list of names.
constexpr const char* kAcceptedNames = "scalar, avx2, avx512";

TEST(SimdLevels, AnUnknownValueIsWarnedAboutWithTheAcceptedNames) {
  for (const char* value : {"AVX2", "avx1024", "sse9", " avx2"}) {
    for (SimdLevel supported : kAllSimdLevels) {
      const std::string warning = simd_level_warning(value, supported);
      EXPECT_EQ(warning, std::string("quorvex: QUORVEX_SIMD_LEVEL=") + value + " names no level (" +
                             kAcceptedNames + "); using " + simd_level_name(supported) + "\n");
    }
  }
  for (const char* value : {"scalar", "avx2", "avx512", ""}) {
    EXPECT_EQ(simd_level_warning(value, SimdLevel::avx512), "") << value;
  }
  EXPECT_EQ(simd_level_warning(nullptr, SimdLevel::avx512), "");
}

// In a fresh process (the test binary run again for this test alone): the
// level is read once, so however many walks ask, one warning.
TEST(SimdLevels, TheWarningComesOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("QUORVEX_SIMD_LEVEL", "avx1024", 1);
        for (int i = 0; i < 3; ++i) (void)active_simd_level();
        std::fflush(stderr);
        std::_Exit(active_simd_level() == supported_simd_level() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "^quorvex: QUORVEX_SIMD_LEVEL=avx1024 names no level \\(scalar, avx2, avx512\\); using "
      "[a-z0-9]+\n$");
}

TEST(SimdLevels, ActiveLevelIsSupported) {
  std::printf("SIMD level supported here: %s, active: %s\n",
              simd_level_name(supported_simd_level()), simd_level_name(active_simd_level()));
  EXPECT_LE(active_simd_level(), supported_simd_level());
}

}  // namespace
}  // namespace quorvex
