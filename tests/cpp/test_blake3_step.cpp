// The BLAKE3 walk step's pixel reads at the edges of the 32-bit range.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "blake3_step.hpp"
#include "errors.hpp"

namespace quorvex::blake3_walk::step_detail {
namespace {

// A side of 2^31 puts the walker at column (or row) 2^31 - 1, and the
// neighbour after it one past INT32_MAX in the signed 32-bit clamping
// arithmetic: that sum must wrap, not overflow (the sanitizer runs turn a
// signed overflow into a failure). The buffer is far too short, so every
// read is checked and the centre's is the first to fail.
TEST(Blake3Step, NeighbourArithmeticWrapsPastInt32Max) {
  const std::vector<std::uint8_t> pixels = {1, 2, 3};
  constexpr std::uint64_t kSide = std::uint64_t{1} << 31;
  constexpr std::uint64_t kLast = kSide - 1;
  const PixelGrid wide{pixels, kSide, 1}, tall{pixels, 1, kSide};
  for (const auto& [grid, x, y] : {std::tuple{wide, kLast, std::uint64_t{0}},
                                   std::tuple{tall, std::uint64_t{0}, kLast}}) {
    const StepReader reader(grid);
    ASSERT_FALSE(reader.in_bounds());
    try {
      reader.read(x, y, 0);
      ADD_FAILURE() << "expected an out-of-bounds failure";
    } catch (const Panic& panic) {
      EXPECT_EQ(panic.what(), out_of_bounds_message(3, kLast * 3));
    }
  }
}

}  // namespace
}  // namespace quorvex::blake3_walk::step_detail
