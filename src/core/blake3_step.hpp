// The pixel half of a BLAKE3 walk step: where the walker stands, what it
// reads there, and the message bytes that come of it. Shared by the lone
// chunk walk and the lane walk, and always inlined into their per-level
// code. Private to the BLAKE3 walk kernels.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "blake3_chunk_walk.hpp"
#include "byte_order.hpp"
#include "errors.hpp"
#include "pixel_grid.hpp"

namespace quorvex::blake3_walk::step_detail {

inline constexpr float kRed = 0.299f, kGreen = 0.587f, kBlue = 0.114f;
static_assert(std::bit_cast<std::uint32_t>(kRed) == 0x3E991687);
static_assert(std::bit_cast<std::uint32_t>(kGreen) == 0x3F1645A2);
static_assert(std::bit_cast<std::uint32_t>(kBlue) == 0x3DE978D5);

[[gnu::always_inline]] inline std::uint8_t luminance(std::uint8_t r, std::uint8_t g,
                                                     std::uint8_t b) noexcept {
  const float weighted = (static_cast<float>(r) * kRed + static_cast<float>(g) * kGreen) +
                         static_cast<float>(b) * kBlue;
  const float clamped = std::min(std::max(weighted, 0.0f), 255.0f);
  return static_cast<std::uint8_t>(clamped);
}

[[gnu::always_inline]] inline std::int32_t clamp_i32(std::int32_t value,
                                                     std::int32_t high) noexcept {
  return value < 0 ? 0 : (value > high ? high : value);
}

// Between steps: stops the walk when its pool job is cancelled, and gives
// the caller's interrupt check its turn.
inline void poll(ChunkControl control) {
  if (control.cancel && control.cancel->load(std::memory_order_relaxed)) {
    throw ChunkCancelled{};
  }
  if (control.check_interrupt && *control.check_interrupt) (*control.check_interrupt)();
}

// ORs the low bytes of `value` into the little-endian byte string held in
// `words`, from byte `At` on.
template <int At>
[[gnu::always_inline]] inline void put_bytes(std::uint64_t (&words)[4], std::uint64_t value) {
  words[At / 8] |= value << (8 * (At % 8));
  if constexpr (At % 8 != 0 && At / 8 + 1 < 4) words[At / 8 + 1] |= value >> (64 - 8 * (At % 8));
}

// Message bytes 32..70 of a step, as words: 32..63 (the centre pixel, the
// nine neighbours, the low half of LE32(x)) and 64..70 zero-padded (the
// high half of LE32(x), LE32(y), the luminance).
struct StepBytes {
  std::uint64_t pixels[4];
  std::uint32_t tail[2];
};

// The window origin and the pixel reads of a walk over one grid.
class StepReader {
 public:
  explicit StepReader(const PixelGrid& grid) noexcept
      : grid_(grid),
        in_bounds_(grid.width * grid.height * 3 <= grid.pixels.size()),
        row_size_(grid.width * 3),
        last_x_(wrap_i32(grid.width - 1)),
        last_y_(wrap_i32(grid.height - 1)) {}

  // No read can fail: every clamped position lies inside the pixels.
  bool in_bounds() const noexcept { return in_bounds_; }

  // The window origin drawn from chain value words 0 and 1.
  [[gnu::always_inline]] std::uint64_t origin_x(std::uint32_t word0) const noexcept {
    return std::uint64_t{word0} % grid_.width;
  }
  [[gnu::always_inline]] std::uint64_t origin_y(std::uint32_t word1) const noexcept {
    return std::uint64_t{word1} % grid_.height;
  }

  // The step at `position` (chain value word 2, h[8] and h[9]) in the
  // window at (origin_x, origin_y). Throws Panic at the first read outside
  // the pixels unless in_bounds().
  [[gnu::always_inline]] StepBytes read(std::uint64_t origin_x, std::uint64_t origin_y,
                                        std::uint32_t position) const {
    const std::uint64_t x = std::min(origin_x + (position & kWindowMask), grid_.width - 1);
    const std::uint64_t y = std::min(origin_y + ((position >> 8) & kWindowMask), grid_.height - 1);
    // Rows and columns of the 3 x 3 neighbourhood, clamped in signed 32-bit.
    std::uint64_t row_at[3], column_at[3];
    for (int i = 0; i < 3; ++i) {
      const auto ny = static_cast<std::uint64_t>(
          clamp_i32(wrapping_add_i32(wrap_i32(y), i - 1), last_y_));
      const auto nx = static_cast<std::uint64_t>(
          clamp_i32(wrapping_add_i32(wrap_i32(x), i - 1), last_x_));
      row_at[i] = ny * row_size_;
      column_at[i] = nx * 3;
    }
    StepBytes out = {};
    const std::uint64_t centre = pixel(row_at[1] + column_at[1]);
    put_bytes<0>(out.pixels, centre);
    put_bytes<3>(out.pixels, pixel(row_at[0] + column_at[0]));
    put_bytes<6>(out.pixels, pixel(row_at[0] + column_at[1]));
    put_bytes<9>(out.pixels, pixel(row_at[0] + column_at[2]));
    put_bytes<12>(out.pixels, pixel(row_at[1] + column_at[0]));
    put_bytes<15>(out.pixels, centre);
    put_bytes<18>(out.pixels, pixel(row_at[1] + column_at[2]));
    put_bytes<21>(out.pixels, pixel(row_at[2] + column_at[0]));
    put_bytes<24>(out.pixels, pixel(row_at[2] + column_at[1]));
    put_bytes<27>(out.pixels, pixel(row_at[2] + column_at[2]));
    put_bytes<30>(out.pixels, x & 0xFFFF);
    const std::uint32_t light = luminance(static_cast<std::uint8_t>(centre),
                                          static_cast<std::uint8_t>(centre >> 8),
                                          static_cast<std::uint8_t>(centre >> 16));
    out.tail[0] = static_cast<std::uint32_t>((x >> 16) | (y << 16));
    out.tail[1] = static_cast<std::uint32_t>((y >> 16) | (light << 16));
    return out;
  }

 private:
  // R | G << 8 | B << 16 of the pixel at byte `at`.
  [[gnu::always_inline]] std::uint64_t pixel(std::uint64_t at) const {
    if (!in_bounds_) {
      const std::uint64_t size = grid_.pixels.size();
      for (std::uint64_t i = at; i < at + 3; ++i) {
        if (i >= size) fail_out_of_bounds(size, i);
      }
    }
    const std::uint8_t* p = grid_.pixels.data() + at;
    return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) | (std::uint64_t{p[2]} << 16);
  }

  const PixelGrid& grid_;
  const bool in_bounds_;
  const std::uint64_t row_size_;        // bytes per image row
  const std::int32_t last_x_, last_y_;  // the neighbourhood's clamp bounds
};

}  // namespace quorvex::blake3_walk::step_detail
