#include "blake3_chunk_walk.hpp"

#include <algorithm>
#include <bit>

#include "blake3_compress.hpp"
#include "byte_order.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "keccak.hpp"
#include "sha3_sponge.hpp"

namespace quorvex {
namespace blake3_walk {
namespace {

constexpr float kRed = 0.299f, kGreen = 0.587f, kBlue = 0.114f;
static_assert(std::bit_cast<std::uint32_t>(kRed) == 0x3E991687);
static_assert(std::bit_cast<std::uint32_t>(kGreen) == 0x3F1645A2);
static_assert(std::bit_cast<std::uint32_t>(kBlue) == 0x3DE978D5);

std::int32_t clamp_i32(std::int32_t value, std::int32_t high) noexcept {
  return value < 0 ? 0 : (value > high ? high : value);
}

// Each step is one BLAKE3 of a 71-byte message: two compressions of one
// chunk (the full first block, then 7 bytes zero-padded as the root), with
// no hasher in between. The chain values stream into a SHA3-256 sponge.
class ChunkWalker {
 public:
  ChunkWalker(const PixelGrid& grid, SimdLevel level)
      : grid_(grid),
        in_bounds_(grid.width * grid.height * 3 <= grid.pixels.size()),
        compress_(blake3_compression(level)),
        permute_(keccak_kernels(level).single) {}
  ChunkWalker(const ChunkWalker&) = delete;
  ChunkWalker& operator=(const ChunkWalker&) = delete;
  ~ChunkWalker() {
    wipe(message_, sizeof message_);
    wipe(chain_, sizeof chain_);
  }

  void walk(const std::uint8_t* chunk_seed, std::uint64_t steps, ChunkResult& result,
            ChunkControl control) {
    blake3_hash_chunk(chunk_seed, kBlake3Size, chain_, compress_);
    anchor();
    Sha3Sponge accumulator(kSha3_256Rate);
    for (std::uint64_t step = 0; step < steps; ++step) {
      if (step % kInterruptInterval == 0 && step > 0) poll(control);
      if (step % kReanchorPeriod == 0 && step > 0) anchor();
      walk_step();
      accumulator.absorb(chain_, kBlake3Size, permute_);
    }
    accumulator.finish(result.step_digest.data(), kSha3_256Size, permute_);
    std::copy_n(chain_, kBlake3Size, result.chain.begin());
  }

 private:
  static void poll(ChunkControl control) {
    if (control.cancel && control.cancel->load(std::memory_order_relaxed)) {
      throw ChunkCancelled{};
    }
    if (control.check_interrupt && *control.check_interrupt) (*control.check_interrupt)();
  }

  void anchor() noexcept {
    origin_x_ = std::uint64_t{load_le32(chain_)} % grid_.width;
    origin_y_ = std::uint64_t{load_le32(chain_ + 4)} % grid_.height;
  }

  const std::uint8_t* pixel_at(std::uint64_t x, std::uint64_t y) const {
    const std::uint64_t at = (y * grid_.width + x) * 3;
    if (!in_bounds_) {
      const std::uint64_t size = grid_.pixels.size();
      for (std::uint64_t i = at; i < at + 3; ++i) {
        if (i >= size) fail_out_of_bounds(size, i);
      }
    }
    return grid_.pixels.data() + at;
  }

  void walk_step() {
    const std::uint64_t x = std::min(origin_x_ + (chain_[8] & kWindowMask), grid_.width - 1);
    const std::uint64_t y = std::min(origin_y_ + (chain_[9] & kWindowMask), grid_.height - 1);
    std::copy_n(chain_, kBlake3Size, message_ + kMessageChain);
    const std::uint8_t* centre = pixel_at(x, y);
    std::copy_n(centre, 3, message_ + kMessageCentre);
    std::uint8_t* out = message_ + kMessageNeighbourhood;
    const std::int32_t last_x = wrap_i32(grid_.width - 1), last_y = wrap_i32(grid_.height - 1);
    for (std::int32_t dy = -1; dy <= 1; ++dy) {
      const std::int32_t ny = clamp_i32(wrapping_add_i32(wrap_i32(y), dy), last_y);
      for (std::int32_t dx = -1; dx <= 1; ++dx) {
        const std::int32_t nx = clamp_i32(wrapping_add_i32(wrap_i32(x), dx), last_x);
        out = std::copy_n(pixel_at(static_cast<std::uint64_t>(nx), static_cast<std::uint64_t>(ny)),
                          3, out);
      }
    }
    put_le32(message_ + kMessageX, static_cast<std::uint32_t>(x));
    put_le32(message_ + kMessageY, static_cast<std::uint32_t>(y));
    message_[kMessageLuminance] = luminance_byte(centre[0], centre[1], centre[2]);
    hash_message();
  }

  // h = BLAKE3(message): the bytes past the message stay zero, so the
  // second block is already padded.
  void hash_message() noexcept {
    static_assert(kStepMessageSize > kBlake3BlockSize && kStepMessageSize <= 2 * kBlake3BlockSize);
    Blake3ChainingValue cv;
    std::copy_n(kBlake3Iv, 8, cv.words);
    cv = compress_(cv, message_, 0, kBlake3BlockSize, kBlake3ChunkStart);
    cv = compress_(cv, message_ + kBlake3BlockSize, 0, kStepMessageSize - kBlake3BlockSize,
                   kBlake3ChunkEnd | kBlake3Root);
    for (int i = 0; i < 8; ++i) put_le32(chain_ + 4 * i, cv.words[i]);
    wipe(&cv, sizeof cv);
  }

  const PixelGrid& grid_;
  const bool in_bounds_;
  const Blake3Compression compress_;
  const KeccakPermutation permute_;
  std::uint8_t chain_[kBlake3Size] = {};
  std::uint8_t message_[2 * kBlake3BlockSize] = {};
  std::uint64_t origin_x_ = 0, origin_y_ = 0;
};

}  // namespace

std::uint8_t luminance_byte(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept {
  const float weighted = (static_cast<float>(r) * kRed + static_cast<float>(g) * kGreen) +
                         static_cast<float>(b) * kBlue;
  const float clamped = std::min(std::max(weighted, 0.0f), 255.0f);
  return static_cast<std::uint8_t>(clamped);
}

}  // namespace blake3_walk

void check_blake3_dimensions(const PixelGrid& grid) {
  if (grid.width == 0 || grid.height == 0) fail_zero_divisor();
  if (grid.width >= kBlake3MaxDimension || grid.height >= kBlake3MaxDimension) {
    throw Panic(texts::kBlake3Dimension);
  }
}

void chunk_walk(const std::uint8_t* chunk_seed, const PixelGrid& grid, std::uint64_t steps,
                ChunkResult& result, ChunkControl control, SimdLevel level) {
  check_blake3_dimensions(grid);
  const DeadStackWipe<kKernelStackDepth> wipe_on_exit;  // the kernels spill the chain values they compress
  blake3_walk::ChunkWalker walker(grid, level);
  walker.walk(chunk_seed, steps, result, control);
}

}  // namespace quorvex
