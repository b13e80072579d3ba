#include <gtest/gtest.h>

#include "errors.hpp"
#include "fixed_texts.hpp"

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

// The texts themselves are checked from Python against an independent copy;
// here, how the values are put into them.
TEST(PanicMessages, UnequalHasBothValuesInDecimalOnLinesOfTheirOwn) {
  EXPECT_EQ(message_of([] { fail_unequal("m", UINT64_MAX, 0); }),
            std::string(texts::kUnequalBefore) + "m" + texts::kUnequalLeft +
                "18446744073709551615" + texts::kUnequalRight + "0");
}

TEST(PanicMessages, OutOfBoundsNamesLengthThenIndex) {
  EXPECT_EQ(message_of([] { fail_out_of_bounds(12, 14); }),
            std::string(texts::kOutOfBoundsBefore) + "12" + texts::kOutOfBoundsBetween + "14");
  EXPECT_EQ(message_of([] { fail_zero_divisor(); }), texts::kZeroDivisor);
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
