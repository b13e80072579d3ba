// One chunk of the BLAKE3 walk: a bounded 64 x 64 window walk from a chunk
// seed (the layer loop and scheduling live in blake3_walk.hpp). Pure; safe
// to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "blake3_hasher.hpp"
#include "cpu_features.hpp"
#include "interrupt.hpp"
#include "pixel_grid.hpp"
#include "secret.hpp"

namespace quorvex {

// Sizes past which the BLAKE3 walk's signed 32-bit neighbourhood arithmetic
// would overflow; such calls are refused before any walking.
inline constexpr std::uint64_t kBlake3MaxDimension = std::uint64_t{1} << 31;

struct ChunkResult {
  SecretArray<kBlake3Size> chain;        // the final chain value
  SecretArray<kBlake3Size> step_digest;  // SHA3-256 over every chain value
};

// How a chunk walk may be stopped: an external flag polled by pool workers,
// and on the calling thread an interrupt check that may throw.
struct ChunkControl {
  const std::atomic<bool>* cancel = nullptr;
  const InterruptCheck* check_interrupt = nullptr;
};

// Thrown by a chunk walk that saw its cancel flag.
struct ChunkCancelled {};

// Throws Panic unless 1 <= width, height < kBlake3MaxDimension: the remainder
// message for a zero size (width first), texts::kBlake3Dimension otherwise.
void check_blake3_dimensions(const PixelGrid& grid);

// One chunk of the BLAKE3 walk: `steps` steps of the bounded 64 x 64 window
// walk from a 32-byte chunk seed, with the hashing kernels of `level` (the
// active level by default; a level above the CPU's gives the CPU's). Throws
// Panic for a zero size, a size of 2^31 or more, or a read outside the
// pixels (at the first such read).
void chunk_walk(const std::uint8_t* chunk_seed, const PixelGrid& grid, std::uint64_t steps,
                ChunkResult& result, ChunkControl control = {},
                SimdLevel level = active_simd_level());

namespace blake3_walk {

// The step message: h ‖ centre R, G, B ‖ the 3 x 3 neighbourhood ‖ LE32(x)
// ‖ LE32(y) ‖ luminance, two BLAKE3 blocks (64 + 7 bytes).
inline constexpr std::size_t kMessageChain = 0;
inline constexpr std::size_t kMessageCentre = 32;
inline constexpr std::size_t kMessageNeighbourhood = 35;
inline constexpr std::size_t kMessageX = 62;
inline constexpr std::size_t kMessageY = 66;
inline constexpr std::size_t kMessageLuminance = 70;
inline constexpr std::size_t kStepMessageSize = 71;
static_assert(kMessageCentre == kMessageChain + kBlake3Size &&
              kMessageNeighbourhood == kMessageCentre + 3 &&
              kMessageX == kMessageNeighbourhood + 27 && kMessageY == kMessageX + 4 &&
              kMessageLuminance == kMessageY + 4 && kStepMessageSize == kMessageLuminance + 1);
inline constexpr std::uint64_t kWindowMask = 0x3F;
inline constexpr std::uint64_t kReanchorPeriod = 512;

// (R 0.299f + G 0.587f) + B 0.114f in binary32, clamped to 0..255 and
// truncated.
std::uint8_t luminance_byte(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept;

}  // namespace blake3_walk
}  // namespace quorvex
