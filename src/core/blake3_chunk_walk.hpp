// One chunk of the BLAKE3 walk: a bounded 64 x 64 window walk from a chunk
// seed (the layer loop and scheduling live in blake3_walk.hpp). Pure; safe
// to call from any thread, each call with its own accumulator.
#pragma once

#include <atomic>
#include <cstdint>

#include "blake3_hasher.hpp"
#include "digest.hpp"
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
// walk from a 32-byte chunk seed. `accumulator` is an open SHA3-256 handle
// that the walk resets and uses. Throws Panic for a zero size, a size of
// 2^31 or more, or a read outside the pixels (at the first such read).
void chunk_walk(const std::uint8_t* chunk_seed, const PixelGrid& grid, std::uint64_t steps,
                Digest& accumulator, ChunkResult& result, ChunkControl control = {});

namespace blake3_walk {

inline constexpr std::size_t kStepMessageSize = 71;
inline constexpr std::uint64_t kWindowMask = 0x3F;
inline constexpr std::uint64_t kReanchorPeriod = 512;

// (R 0.299f + G 0.587f) + B 0.114f in binary32, clamped to 0..255 and
// truncated.
std::uint8_t luminance_byte(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept;

}  // namespace blake3_walk
}  // namespace quorvex
