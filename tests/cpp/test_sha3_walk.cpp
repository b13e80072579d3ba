#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "byte_order.hpp"
#include "digest.hpp"
#include "errors.hpp"
#include "hex.hpp"
#include "sha3_walk.hpp"

namespace quorvex {
namespace {

using namespace sha3_walk;

// An image whose pixel (x, y) is (x, y, 7), so bytes name their position.
std::vector<std::uint8_t> labelled_image(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> pixels;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      pixels.insert(pixels.end(), {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7});
    }
  }
  return pixels;
}

std::array<std::uint8_t, kStateSize> state_at(std::uint32_t x, std::uint32_t y) {
  std::array<std::uint8_t, kStateSize> state{};
  put_be32(state.data(), x);
  put_be32(state.data() + 4, y);
  return state;
}

StepMessage describe(const PixelGrid& grid, std::uint32_t x, std::uint32_t y) {
  StepMessage message;
  describe_step(grid, state_at(x, y).data(), message);
  return message;
}

std::int32_t milli(double value) { return to_i32_saturating(value * 1000.0); }

std::int32_t record_i32(const StepMessage& m, std::size_t at) {
  return static_cast<std::int32_t>(load_be32(m.step_record + at));
}

TEST(Sha3Walk, PositionIsStateModuloSize) {
  const auto pixels = labelled_image(4, 4);
  const PixelGrid grid{pixels, 4, 4};
  const StepMessage m = describe(grid, 5, 7);
  EXPECT_EQ(load_be32(m.step_record), 1u);
  EXPECT_EQ(load_be32(m.step_record + 4), 3u);
  EXPECT_EQ(m.step_record[8], 1);
  EXPECT_EQ(m.step_record[9], 3);
  EXPECT_EQ(m.step_record[10], 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.step_record + 11), 7), "#010307");
}

TEST(Sha3Walk, NeighboursAreColumnMajor) {
  const auto pixels = labelled_image(3, 3);
  const PixelGrid grid{pixels, 3, 3};
  const StepMessage corner = describe(grid, 0, 0);
  const std::vector<std::uint8_t> expected_corner = {0, 1, 7, 1, 0, 7, 1, 1, 7};
  EXPECT_EQ(std::vector<std::uint8_t>(corner.neighbor_bytes,
                                      corner.neighbor_bytes + corner.neighbor_size),
            expected_corner);
  const StepMessage centre = describe(grid, 1, 1);
  ASSERT_EQ(centre.neighbor_size, 24u);
  const std::vector<std::uint8_t> expected_centre = {0, 0, 7, 0, 1, 7, 0, 2, 7, 1, 0, 7,
                                                     1, 2, 7, 2, 0, 7, 2, 1, 7, 2, 2, 7};
  EXPECT_EQ(std::vector<std::uint8_t>(centre.neighbor_bytes, centre.neighbor_bytes + 24),
            expected_centre);
  const std::vector<std::uint8_t> one = {9, 9, 9};
  EXPECT_EQ(describe(PixelGrid{one, 1, 1}, 0, 0).neighbor_size, 0u);
}

struct LuminanceCase {
  std::uint8_t r, g, b;
  std::int32_t milli;
};

class Luminance : public ::testing::TestWithParam<LuminanceCase> {};

TEST_P(Luminance, MilliValue) {
  const auto& c = GetParam();
  EXPECT_EQ(milli(pixel_luminance(c.r, c.g, c.b)), c.milli);
}

// White is 1000, not the 999 that summing the weights first gives; grey 51
// is 199, where a fused multiply-add build gives 200.
INSTANTIATE_TEST_SUITE_P(Values, Luminance,
                         ::testing::Values(LuminanceCase{255, 255, 255, 1000},
                                           LuminanceCase{128, 128, 128, 501},
                                           LuminanceCase{51, 51, 51, 199},
                                           LuminanceCase{0, 0, 0, 0},
                                           LuminanceCase{255, 0, 0, 299}));

TEST(Sha3Walk, DeviationOfWhiteAndBlack) {
  const std::vector<std::uint8_t> pixels = {255, 255, 255, 0, 0, 0};
  const PixelGrid grid{pixels, 2, 1};
  EXPECT_EQ(milli(window_deviation(grid, 0, 0)), 500);
  EXPECT_EQ(milli(window_deviation(grid, 1, 0)), 500);
  EXPECT_EQ(record_i32(describe(grid, 0, 0), 22), 500);
  EXPECT_EQ(record_i32(describe(grid, 0, 0), 18), 1000);
  EXPECT_EQ(milli(window_deviation(PixelGrid{pixels, 1, 1}, 0, 0)), 0);
}

// The window's luminances are summed row by row, on both paths. For this
// grey image, rows (2, 2) and (155, 155), the model in tests/models.py gives
// a deviation of 300 thousandths; summing column by column gives 299.
TEST(Sha3Walk, WindowIsSummedRowByRow) {
  const std::vector<std::uint8_t> pixels = {2, 2, 2, 2, 2, 2, 155, 155, 155, 155, 155, 155};
  const PixelGrid grid{pixels, 2, 2};
  for (std::uint32_t y = 0; y < 2; ++y) {
    for (std::uint32_t x = 0; x < 2; ++x) {
      StepMessage fast{}, checked{};
      describe_position(grid, {x, y}, fast);
      describe_position_checked(grid, {x, y}, checked);
      EXPECT_EQ(record_i32(fast, 22), 300);
      EXPECT_EQ(record_i32(checked, 22), 300);
    }
  }
}

TEST(Sha3Walk, ColourHexIsLowercase) {
  const std::vector<std::uint8_t> pixels = {255, 0, 171};
  const StepMessage m = describe(PixelGrid{pixels, 1, 1}, 0, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.step_record + 11), 7), "#ff00ab");
}

TEST(Sha3Walk, SaturatingTruncation) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(to_i32_saturating(std::nan("")), 0);
  EXPECT_EQ(to_i32_saturating(INFINITY), kMax);
  EXPECT_EQ(to_i32_saturating(-INFINITY), kMin);
  EXPECT_EQ(to_i32_saturating(1e10), kMax);
  EXPECT_EQ(to_i32_saturating(-1e10), kMin);
  EXPECT_EQ(to_i32_saturating(2147483646.9), 2147483646);
  EXPECT_EQ(to_i32_saturating(-1.7), -1);
  EXPECT_EQ(to_i32_saturating(999.9999), 999);
}

// Sizes of 2^31 and more wrap in the signed 32-bit window arithmetic. The
// result is whatever that gives, but no read may leave the buffer.
TEST(Sha3Walk, HugeWidthsStayInsideThePixels) {
  const auto pixels = labelled_image(4, 1);
  const PixelGrid negative_width{pixels, std::uint64_t{1} << 31, 1};
  const StepMessage m = describe(negative_width, 2, 0);
  EXPECT_EQ(m.neighbor_size, 0u);
  EXPECT_EQ(record_i32(m, 22), 0);  // empty window: NaN, truncated to 0

  const PixelGrid wrapped_width{pixels, (std::uint64_t{1} << 32) + 4, 1};
  const StepMessage inside = describe(wrapped_width, 3, 0);
  EXPECT_EQ(inside.neighbor_size, 3u);
  try {
    describe(wrapped_width, 5, 0);
    FAIL() << "expected an out-of-bounds failure";
  } catch (const Panic& panic) {
    EXPECT_EQ(panic.what(), out_of_bounds_message(12, 15));
  }
}

// x = 2^31 - 1 in an image 2^64 - 2^31 + 1 wide, a width that is negative
// in 32 bits: the window and neighbour arithmetic steps past INT32_MAX and
// must wrap, not overflow (the sanitizer runs turn a signed overflow into a
// failure). Row 1 then starts where the wrapped offsets put pixel 0, which
// is the only read.
TEST(Sha3Walk, WindowArithmeticWrapsPastInt32Max) {
  const std::vector<std::uint8_t> pixels = {1, 2, 3};
  const std::uint32_t x = 2147483647;
  const PixelGrid grid{pixels, std::uint64_t{0} - x, 2};
  StepMessage m{};
  describe_position(grid, {x, 1}, m);
  EXPECT_EQ(load_be32(m.step_record), x);
  EXPECT_EQ(std::vector<std::uint8_t>(m.step_record + 8, m.step_record + 11),
            (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(m.neighbor_size, 0u);
  EXPECT_EQ(record_i32(m, 22), 0);  // an empty window
}

TEST(Sha3Walk, ReadsAreCheckedInWalkOrder) {
  // 2 x 2 claimed, one pixel given: the centre (0, 0) reads fine, then the
  // window's second pixel (1, 0) is the first offending read.
  const std::vector<std::uint8_t> pixels = {1, 2, 3, 4};
  try {
    describe(PixelGrid{pixels, 2, 2}, 0, 0);
    FAIL();
  } catch (const Panic& panic) {
    EXPECT_EQ(panic.what(), out_of_bounds_message(4, 4));
  }
}

// A wrapped size: 3 * width is 2^64 + 5, which the length check sees as 5,
// so the walk runs with checked reads. The seed selects pixel 1, whose three
// bytes would be 3, 4 and 5: the third lies exactly at the buffer's end and
// must fail as out of bounds there, not be read (a read past the end would
// go on to fail at the window's next pixel, index 6).
TEST(Sha3Walk, ThirdByteAtTheBufferEndIsOutOfBounds) {
  const std::vector<std::uint8_t> pixels = {1, 2, 3, 4, 5};
  const std::uint64_t width = ~std::uint64_t{0} / 3 + 2;
  ASSERT_EQ(width * 3, pixels.size());  // mod 2^64
  const PixelGrid grid{pixels, width, 1};
  std::vector<std::uint8_t> seed(kStateSize, 0);
  put_be32(seed.data(), 1);  // x = 1 (the width exceeds 32 bits), y = 0
  try {
    execute_multilayer_sha3(seed, grid, 1, 1, nullptr);
    FAIL() << "expected an out-of-bounds failure";
  } catch (const Panic& panic) {
    EXPECT_EQ(panic.what(), out_of_bounds_message(5, 5));
  }
}

TEST(Sha3Walk, InterruptCheckRunsAndCanAbort) {
  const auto pixels = labelled_image(4, 4);
  const PixelGrid grid{pixels, 4, 4};
  const std::vector<std::uint8_t> seed(64, 1);
  int checks = 0;
  const auto pool = execute_multilayer_sha3(seed, grid, kInterruptInterval, 3, [&] { ++checks; });
  EXPECT_EQ(checks, 3);
  EXPECT_EQ(pool, execute_multilayer_sha3(seed, grid, kInterruptInterval, 3, nullptr));
  struct Stop {};
  EXPECT_THROW(
      execute_multilayer_sha3(seed, grid, 10 * kInterruptInterval, 1, [] { throw Stop{}; }), Stop);
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// The walk reads a 3 x 3 block once when every read is known to be inside;
// that must describe every pixel exactly as the fully checked reads do.
TEST(Sha3Walk, FastPathEqualsCheckedReads) {
  std::mt19937 rng(5);
  for (std::uint32_t width = 1; width <= 6; ++width) {
    for (std::uint32_t height = 1; height <= 6; ++height) {
      std::vector<std::uint8_t> pixels(width * height * 3);
      for (auto& b : pixels) b = static_cast<std::uint8_t>(rng() % 4 * 85);
      const PixelGrid grid{pixels, width, height};
      for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
          StepMessage fast{}, checked{};
          describe_position(grid, {x, y}, fast);
          describe_position_checked(grid, {x, y}, checked);
          ASSERT_EQ(fast.neighbor_size, checked.neighbor_size);
          ASSERT_EQ(0, std::memcmp(fast.step_record, checked.step_record, kStepRecordSize));
          ASSERT_EQ(0,
                    std::memcmp(fast.neighbor_bytes, checked.neighbor_bytes, fast.neighbor_size));
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

using testing::to_hex;

// The luminance of every colour, bit for bit, against the model: SHA-256 of
// the 2^24 binary64 values, little-endian, in the order r, g, b (b fastest),
// as tests/models.py computes them with Python's binary64 floats, each
// operation rounded on its own:
//   h = hashlib.sha256()
//   for r in range(256):
//       for g in range(256):
//           h.update(struct.pack("<256d", *(models.luminance(r, g, b) for b in range(256))))
// A product fused into a sum (an FMA the compiler may form) changes thousands.
TEST(Sha3WalkLuminance, EveryColourMatchesTheModel) {
  Digest table(GCRY_MD_SHA256);
  std::uint8_t values[256 * 8];
  for (unsigned r = 0; r < 256; ++r) {
    for (unsigned g = 0; g < 256; ++g) {
      for (unsigned b = 0; b < 256; ++b) {
        const double luminance =
            pixel_luminance(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                            static_cast<std::uint8_t>(b));
        put_le64(values + 8 * b, std::bit_cast<std::uint64_t>(luminance));
      }
      table.update(values, sizeof values);
    }
  }
  std::array<std::uint8_t, 32> digest;
  table.finish(digest.data());
  EXPECT_EQ(to_hex(digest), "7e43ab89e29cfc127729a82da867f7873293815d46513dd6e2e4a54c0434e178");
}

}  // namespace
}  // namespace quorvex
