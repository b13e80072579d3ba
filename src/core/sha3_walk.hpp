// The SHA3 multilayer walk: the sequential reference walk whose every byte
// is fixed by earlier key vectors. Pure; safe to call from any thread.
#pragma once

#include <cstdint>

#include "cpu_features.hpp"
#include "interrupt.hpp"
#include "pixel_grid.hpp"
#include "secret.hpp"

namespace quorvex {

inline constexpr std::size_t kSha3PoolSize = 64;
using Sha3Pool = SecretArray<kSha3PoolSize>;

// The SHA3 multilayer walk. Throws Panic for a seed that is not 64 bytes, a
// pixel buffer whose length is not width * height * 3 (mod 2^64), an absurd
// step count, a zero size, or a read outside the pixels.
Sha3Pool execute_multilayer_sha3(ByteView initial_seed, const PixelGrid& grid, std::uint64_t steps,
                                 std::uint64_t layers, const InterruptCheck& check_interrupt);

// The same with the Keccak kernels of a given level (at most the CPU's),
// for tests that compare the levels.
Sha3Pool execute_multilayer_sha3_at(SimdLevel level, ByteView initial_seed, const PixelGrid& grid,
                                    std::uint64_t steps, std::uint64_t layers,
                                    const InterruptCheck& check_interrupt);

// Pieces of the SHA3 walk, exposed for tests.
namespace sha3_walk {

inline constexpr std::size_t kStateSize = 64;
inline constexpr std::size_t kPositionSize = 8;
inline constexpr std::size_t kMaxNeighborBytes = 24;
inline constexpr std::size_t kVisitDigestSize = 32;

// The step record: big-endian integers, the colour as "#rrggbb".
inline constexpr std::size_t kRecordX = 0;           // u32
inline constexpr std::size_t kRecordY = 4;           // u32
inline constexpr std::size_t kRecordRgb = 8;         // R, G, B
inline constexpr std::size_t kRecordColorHex = 11;   // 7 ASCII bytes
inline constexpr std::size_t kRecordLuminance = 18;  // i32, luminance * 1000
inline constexpr std::size_t kRecordDeviation = 22;  // i32, deviation * 1000
inline constexpr std::size_t kStepRecordSize = 26;
static_assert(kRecordColorHex == kRecordRgb + 3 && kRecordLuminance == kRecordColorHex + 7 &&
              kRecordDeviation + 4 == kStepRecordSize);

// The state hash input: state ‖ record ‖ position (x, y again) ‖ the 0 to 8
// neighbours; the visit hash input: new state ‖ record.
inline constexpr std::size_t kStepInputRecord = kStateSize;
inline constexpr std::size_t kStepInputPosition = kStepInputRecord + kStepRecordSize;
inline constexpr std::size_t kStepInputNeighbors = kStepInputPosition + kPositionSize;
inline constexpr std::size_t kMaxStepInputSize = kStepInputNeighbors + kMaxNeighborBytes;
inline constexpr std::size_t kVisitInputSize = kStateSize + kStepRecordSize;
static_assert(kStepInputNeighbors == 98 && kMaxStepInputSize == 122 && kVisitInputSize == 90);

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
