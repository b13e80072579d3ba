#include <gtest/gtest.h>

#include "errors.hpp"

namespace quorvex {
namespace {

std::string message_of(void (*fail)()) {
  try {
    fail();
  } catch (const Panic& panic) {
    return panic.what();
  }
  return "<no panic>";
}

TEST(PanicMessages, UnequalHasThreeLines) {
  EXPECT_EQ(message_of([] { fail_unequal("Seed must be exactly 64 bytes", 32, 64); }),
            "assertion `left == right` failed: Seed must be exactly 64 bytes\n"
            "  left: 32\n"
            " right: 64");
  EXPECT_EQ(message_of([] { fail_unequal("m", UINT64_MAX, 0); }),
            "assertion `left == right` failed: m\n  left: 18446744073709551615\n right: 0");
}

TEST(PanicMessages, OutOfBoundsAndZeroDivisor) {
  EXPECT_EQ(message_of([] { fail_out_of_bounds(12, 14); }),
            "index out of bounds: the len is 12 but the index is 14");
  EXPECT_EQ(message_of([] { fail_zero_divisor(); }),
            "attempt to calculate the remainder with a divisor of zero");
}

TEST(PanicMessages, LocationIsTheCaller) {
  try {
    fail_zero_divisor();
  } catch (const Panic& panic) {
    EXPECT_NE(std::string(panic.where().file_name()).find("test_errors.cpp"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvex
