// The RGB image that both walks read.
#pragma once

#include <cstdint>

#include "secret.hpp"

namespace quorvex {

// Pixel (x, y) starts at byte (y * width + x) * 3, bytes R, G, B. The sizes
// are the caller's claim; the walks check every read against pixels.size().
struct PixelGrid {
  ByteView pixels;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

}  // namespace quorvex
