#include "blake3_chunk_walk.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "blake3_rounds.hpp"
#include "blake3_step.hpp"
#include "byte_order.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "keccak_rounds.hpp"
#include "sha3_sponge.hpp"

namespace quorvex {
namespace blake3_walk {
namespace {

using blake3_detail::ChainRows;
using blake3_detail::MessageRows;
using blake3_detail::Row;

// Keccak rounds run inside each compression of a step, after its BLAKE3
// rounds 1, 3 and 5. Six per step finish a permutation in four steps, and
// a 136-byte block of chain values fills every 4.25 steps.
constexpr int kSliceRounds = 3;
static_assert(keccak_detail::kRounds % kSliceRounds == 0);

// Rounds first .. first + 2 of a permutation: state in `a`, result in `e`.
struct KeccakSlice {
  std::uint64_t a[kKeccakLanes], e[kKeccakLanes];
  int first;

  template <int R>
  [[gnu::always_inline]] void operator()(std::integral_constant<int, R>) noexcept {
    using keccak_detail::kRoundConstants;
    if constexpr (R == 1) keccak_detail::round(a, e, kRoundConstants[first]);
    if constexpr (R == 3) keccak_detail::round(e, a, kRoundConstants[first + 1]);
    if constexpr (R == 5) keccak_detail::round(a, e, kRoundConstants[first + 2]);
  }
};

// SHA3-256 over the chain values. The compressions of a step are one long
// dependency chain that leaves the integer units idle, so each permutation
// runs a few rounds at a time inside them rather than on its own. Chain
// values gather in a block buffer while the previous block is permuted.
class StepAccumulator {
 public:
  StepAccumulator() = default;
  StepAccumulator(const StepAccumulator&) = delete;
  StepAccumulator& operator=(const StepAccumulator&) = delete;
  ~StepAccumulator() {
    wipe(&state_, sizeof state_);
    wipe(block_, sizeof block_);
  }

  // One compression, with the next slice of the permutation in flight.
  [[gnu::always_inline]] ChainRows compress(ChainRows cv, const MessageRows& m,
                                            std::uint32_t block_length,
                                            std::uint32_t flags) noexcept {
    if (next_round_ == keccak_detail::kRounds) {
      return blake3_detail::compress(cv, m, 0, block_length, flags);
    }
    KeccakSlice slice;
    std::copy_n(state_.lanes, kKeccakLanes, slice.a);
    slice.first = next_round_;
    cv = blake3_detail::compress(cv, m, 0, block_length, flags, slice);
    std::copy_n(slice.e, kKeccakLanes, state_.lanes);
    next_round_ += kSliceRounds;
    return cv;
  }

  [[gnu::always_inline]] void add(const std::uint8_t* chain) noexcept {
    const std::size_t taken = std::min(kBlake3Size, kSha3_256Rate - filled_);
    std::memcpy(block_ + filled_, chain, taken);
    filled_ += taken;
    if (filled_ < kSha3_256Rate) return;
    finish_permutation();
    xor_into_state(state_, 0, block_, kSha3_256Rate);
    next_round_ = 0;
    filled_ = kBlake3Size - taken;
    std::memcpy(block_, chain + taken, filled_);
  }

  [[gnu::always_inline]] void digest(std::uint8_t* out) noexcept {
    finish_permutation();
    xor_into_state(state_, 0, block_, filled_);
    pad_sha3(state_, filled_, kSha3_256Rate);
    next_round_ = 0;
    finish_permutation();
    read_state(state_, out, kSha3_256Size);
  }

 private:
  [[gnu::always_inline]] void finish_permutation() noexcept {
    std::uint64_t a[kKeccakLanes], e[kKeccakLanes];
    std::copy_n(state_.lanes, kKeccakLanes, a);
    for (; next_round_ < keccak_detail::kRounds; ++next_round_) {
      keccak_detail::round(a, e, keccak_detail::kRoundConstants[next_round_]);
      std::copy_n(e, kKeccakLanes, a);
    }
    std::copy_n(a, kKeccakLanes, state_.lanes);
  }

  KeccakState state_{};
  std::uint8_t block_[kSha3_256Rate] = {};
  std::size_t filled_ = 0;
  int next_round_ = keccak_detail::kRounds;  // kRounds: no permutation in flight
};

[[gnu::always_inline]] inline Row row_of(std::uint64_t low, std::uint64_t high) noexcept {
  typedef std::uint64_t Pair __attribute__((vector_size(16)));
  // Two 64-bit inserts rather than four 32-bit ones; the words fall in
  // place only on a little-endian machine.
  if constexpr (std::endian::native == std::endian::little) return (Row)(Pair{low, high});
  return Row{static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32),
             static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32)};
}

// Each step is one BLAKE3 of a 71-byte message: two compressions of one
// chunk (the full first block, then 7 bytes zero-padded as the root). The
// message is assembled in registers: the chain value is already there, and
// a block written to memory byte by byte and read back in words would
// stall on every step.
class ChunkWalker {
 public:
  explicit ChunkWalker(const PixelGrid& grid) : reader_(grid) {}
  ChunkWalker(const ChunkWalker&) = delete;
  ChunkWalker& operator=(const ChunkWalker&) = delete;
  ~ChunkWalker() {
    wipe(&cv_, sizeof cv_);
    wipe(chain_, sizeof chain_);
  }

  [[gnu::always_inline]] void walk(const std::uint8_t* chunk_seed, std::uint64_t steps,
                                   ChunkResult& result, ChunkControl control) {
    std::uint8_t seed_block[kBlake3BlockSize] = {};
    std::copy_n(chunk_seed, kBlake3Size, seed_block);
    cv_ = blake3_detail::compress(blake3_detail::kIvRows, blake3_detail::load_rows(seed_block),
                                  0, kBlake3Size, kBlake3ChunkStart | kBlake3ChunkEnd | kBlake3Root);
    wipe(seed_block, sizeof seed_block);
    anchor();
    for (std::uint64_t step = 0; step < steps; ++step) {
      if (step % kInterruptInterval == 0 && step > 0) step_detail::poll(control);
      if (step % kReanchorPeriod == 0 && step > 0) anchor();
      walk_step();
      store_chain();
      accumulator_.add(chain_);
    }
    store_chain();
    accumulator_.digest(result.step_digest.data());
    std::copy_n(chain_, kBlake3Size, result.chain.begin());
  }

 private:
  [[gnu::always_inline]] void anchor() noexcept {
    origin_x_ = reader_.origin_x(cv_.low[0]);
    origin_y_ = reader_.origin_y(cv_.low[1]);
  }

  [[gnu::always_inline]] void store_chain() noexcept {
    for (int i = 0; i < 4; ++i) {
      put_le32(chain_ + 4 * i, cv_.low[i]);
      put_le32(chain_ + 16 + 4 * i, cv_.high[i]);
    }
  }

  [[gnu::always_inline]] void walk_step() {
    const step_detail::StepBytes bytes = reader_.read(origin_x_, origin_y_, cv_.low[2]);
    const MessageRows first = {{cv_.low, cv_.high, row_of(bytes.pixels[0], bytes.pixels[1]),
                                row_of(bytes.pixels[2], bytes.pixels[3])}};
    const ChainRows middle =
        accumulator_.compress(blake3_detail::kIvRows, first, kBlake3BlockSize, kBlake3ChunkStart);
    const MessageRows second = {{Row{bytes.tail[0], bytes.tail[1]}, Row{}, Row{}, Row{}}};
    static_assert(kStepMessageSize - kBlake3BlockSize == 7);
    cv_ = accumulator_.compress(middle, second, kStepMessageSize - kBlake3BlockSize,
                                kBlake3ChunkEnd | kBlake3Root);
  }

  const step_detail::StepReader reader_;
  ChainRows cv_{};
  StepAccumulator accumulator_;
  std::uint8_t chain_[kBlake3Size] = {};
  std::uint64_t origin_x_ = 0, origin_y_ = 0;
};

[[gnu::always_inline]] inline void walk_chunk(const std::uint8_t* chunk_seed, const PixelGrid& grid,
                                              std::uint64_t steps, ChunkResult& result,
                                              ChunkControl control) {
  ChunkWalker walker(grid);
  walker.walk(chunk_seed, steps, result, control);
}

// The walk compiled once per level, so that the compressions, the Keccak
// rounds and the step around them are one block of code for the level's
// instruction set.
using ChunkWalkKernel = void (*)(const std::uint8_t*, const PixelGrid&, std::uint64_t,
                                 ChunkResult&, ChunkControl);

void walk_chunk_scalar(const std::uint8_t* chunk_seed, const PixelGrid& grid,
                       std::uint64_t steps, ChunkResult& result, ChunkControl control) {
  walk_chunk(chunk_seed, grid, steps, result, control);
}

#if defined(__x86_64__)

[[gnu::target("avx2,bmi,bmi2")]] void walk_chunk_avx2(const std::uint8_t* chunk_seed,
                                                      const PixelGrid& grid, std::uint64_t steps,
                                                      ChunkResult& result,
                                                      ChunkControl control) {
  walk_chunk(chunk_seed, grid, steps, result, control);
}

[[gnu::target("avx512f,avx512vl,avx2,bmi,bmi2")]] void walk_chunk_avx512(
    const std::uint8_t* chunk_seed, const PixelGrid& grid, std::uint64_t steps,
    ChunkResult& result, ChunkControl control) {
  walk_chunk(chunk_seed, grid, steps, result, control);
}

#endif  // __x86_64__

ChunkWalkKernel chunk_walk_kernel([[maybe_unused]] SimdLevel level) noexcept {
#if defined(__x86_64__)
  return kernel_for<ChunkWalkKernel>(level, walk_chunk_scalar, walk_chunk_avx2, walk_chunk_avx512);
#else
  return walk_chunk_scalar;
#endif
}

}  // namespace

std::uint8_t luminance_byte(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept {
  return step_detail::luminance(r, g, b);
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
  const DeadStackWipe<kKernelStackDepth> wipe_on_exit;  // the kernels spill what they hash
  blake3_walk::chunk_walk_kernel(level)(chunk_seed, grid, steps, result, control);
}

}  // namespace quorvex
