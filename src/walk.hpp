// The pixel walks. The SHA3 walk is the sequential reference walk whose every
// byte is fixed by earlier key vectors. The BLAKE3 chunk walk is one chunk of
// the parallel walk (the layer loop lives in entropy.hpp).
// Every function here is pure and safe to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "hash.hpp"
#include "secret.hpp"

namespace quorvex {

// An RGB image: pixel (x, y) starts at byte (y * width + x) * 3. The sizes
// are the caller's claim; every read is checked against pixels.size().
struct PixelGrid {
  ByteView pixels;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

// Called now and then from long walks on the calling thread; it throws to
// abandon the walk (a pending KeyboardInterrupt, say).
using InterruptCheck = std::function<void()>;
inline constexpr std::uint64_t kInterruptInterval = 4096;

inline constexpr std::size_t kSha3PoolSize = 64;
using Sha3Pool = SecretArray<kSha3PoolSize>;

// The SHA3 multilayer walk. Throws Panic for a seed that is not 64 bytes, a
// pixel buffer whose length is not width * height * 3 (mod 2^64), an absurd
// step count, a zero size, or a read outside the pixels.
Sha3Pool execute_multilayer_sha3(ByteView initial_seed, const PixelGrid& grid, std::uint64_t steps,
                                 std::uint64_t layers, const InterruptCheck& check_interrupt);

// Pieces of the SHA3 walk, exposed for tests.
namespace sha3_walk {

inline constexpr std::size_t kStateSize = 64;
inline constexpr std::size_t kStepRecordSize = 26;
inline constexpr std::size_t kPositionSize = 8;
inline constexpr std::size_t kMaxNeighborBytes = 24;
inline constexpr std::size_t kVisitDigestSize = 32;

// ((0.299 R + 0.587 G) + 0.114 B) / 255, each operation rounded on its own.
double pixel_luminance(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept;

// Population standard deviation of the luminance over the (up to) 3 x 3
// window around (x, y), clipped to the image.
double window_deviation(const PixelGrid& grid, std::uint32_t x, std::uint32_t y);

// Truncation toward zero, saturating, NaN to 0.
std::int32_t to_i32_saturating(double value) noexcept;

struct StepMessage {
  std::uint8_t step_record[kStepRecordSize];
  std::uint8_t neighbor_bytes[kMaxNeighborBytes];
  std::size_t neighbor_size = 0;
  std::uint32_t x = 0, y = 0;
};

struct Position {
  std::uint32_t x = 0, y = 0;
};

// The pixel a walk state selects. width and height must not be 0.
Position position_of(const PixelGrid& grid, const std::uint8_t* state) noexcept;

// Builds the step record and neighbour bytes for the pixel at `position`.
void describe_position(const PixelGrid& grid, Position position, StepMessage& message);

// The same with every read bounds-checked in the walk's order (centre,
// window row by row, neighbours); describe_position takes this path when
// the sizes do not fit the buffer or the 32-bit range.
void describe_position_checked(const PixelGrid& grid, Position position, StepMessage& message);

// describe_position at the pixel that `state` selects.
void describe_step(const PixelGrid& grid, const std::uint8_t* state, StepMessage& message);

}  // namespace sha3_walk
}  // namespace quorvex

namespace quorvex {

// Sizes past which the BLAKE3 walk's signed 32-bit neighbourhood arithmetic
// would overflow; such calls are refused before any walking.
inline constexpr std::uint64_t kBlake3MaxDimension = std::uint64_t{1} << 31;
inline constexpr char kBlake3DimensionMessage[] =
    "image width and height must be below 2147483648 for the BLAKE3 walk";

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
// message for a zero size (width first), kBlake3DimensionMessage otherwise.
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
