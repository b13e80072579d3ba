// A test run once per SIMD level. A level the CPU lacks is skipped, and the
// skip says so: the kernels would quietly run the CPU's own level instead.
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <string>

#include "cpu_features.hpp"

namespace quorvex::testing {

class SimdLevelTest : public ::testing::TestWithParam<SimdLevel> {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(gcry_check_version(nullptr), nullptr); }
  void SetUp() override {
    if (GetParam() > supported_simd_level()) {
      GTEST_SKIP() << "this CPU lacks " << simd_level_name(GetParam())
                   << "; its code is built, and the levels below it run";
    }
  }
};

inline std::string level_name(const ::testing::TestParamInfo<SimdLevel>& info) {
  return simd_level_name(info.param);
}

}  // namespace quorvex::testing
