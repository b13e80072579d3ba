#include "blake3_chunk_walk.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "blake3_rounds.hpp"
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

constexpr float kRed = 0.299f, kGreen = 0.587f, kBlue = 0.114f;
static_assert(std::bit_cast<std::uint32_t>(kRed) == 0x3E991687);
static_assert(std::bit_cast<std::uint32_t>(kGreen) == 0x3F1645A2);
static_assert(std::bit_cast<std::uint32_t>(kBlue) == 0x3DE978D5);

[[gnu::always_inline]] inline std::int32_t clamp_i32(std::int32_t value,
                                                     std::int32_t high) noexcept {
  return value < 0 ? 0 : (value > high ? high : value);
}

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

// ORs the low bytes of `value` into the little-endian byte string held in
// `words`, from byte `At` on.
template <int At>
[[gnu::always_inline]] inline void put_bytes(std::uint64_t (&words)[4], std::uint64_t value) {
  words[At / 8] |= value << (8 * (At % 8));
  if constexpr (At % 8 != 0 && At / 8 + 1 < 4) words[At / 8 + 1] |= value >> (64 - 8 * (At % 8));
}

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
  explicit ChunkWalker(const PixelGrid& grid)
      : grid_(grid),
        in_bounds_(grid.width * grid.height * 3 <= grid.pixels.size()),
        row_size_(grid.width * 3),
        last_x_(wrap_i32(grid.width - 1)),
        last_y_(wrap_i32(grid.height - 1)) {}
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
      if (step % kInterruptInterval == 0 && step > 0) poll(control);
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
  static void poll(ChunkControl control) {
    if (control.cancel && control.cancel->load(std::memory_order_relaxed)) {
      throw ChunkCancelled{};
    }
    if (control.check_interrupt && *control.check_interrupt) (*control.check_interrupt)();
  }

  [[gnu::always_inline]] void anchor() noexcept {
    origin_x_ = std::uint64_t{cv_.low[0]} % grid_.width;
    origin_y_ = std::uint64_t{cv_.low[1]} % grid_.height;
  }

  [[gnu::always_inline]] void store_chain() noexcept {
    for (int i = 0; i < 4; ++i) {
      put_le32(chain_ + 4 * i, cv_.low[i]);
      put_le32(chain_ + 16 + 4 * i, cv_.high[i]);
    }
  }

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

  [[gnu::always_inline]] void walk_step() {
    const std::uint32_t position = cv_.low[2];  // h[8] and h[9]
    const std::uint64_t x = std::min(origin_x_ + (position & kWindowMask), grid_.width - 1);
    const std::uint64_t y =
        std::min(origin_y_ + ((position >> 8) & kWindowMask), grid_.height - 1);
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
    // Message bytes 32..63: the centre pixel (which is also the middle of
    // the neighbourhood), the nine neighbours, the low half of LE32(x).
    std::uint64_t bytes[4] = {};
    const std::uint64_t centre = pixel(row_at[1] + column_at[1]);
    put_bytes<0>(bytes, centre);
    put_bytes<3>(bytes, pixel(row_at[0] + column_at[0]));
    put_bytes<6>(bytes, pixel(row_at[0] + column_at[1]));
    put_bytes<9>(bytes, pixel(row_at[0] + column_at[2]));
    put_bytes<12>(bytes, pixel(row_at[1] + column_at[0]));
    put_bytes<15>(bytes, centre);
    put_bytes<18>(bytes, pixel(row_at[1] + column_at[2]));
    put_bytes<21>(bytes, pixel(row_at[2] + column_at[0]));
    put_bytes<24>(bytes, pixel(row_at[2] + column_at[1]));
    put_bytes<27>(bytes, pixel(row_at[2] + column_at[2]));
    put_bytes<30>(bytes, x & 0xFFFF);
    const MessageRows first = {
        {cv_.low, cv_.high, row_of(bytes[0], bytes[1]), row_of(bytes[2], bytes[3])}};
    const ChainRows middle =
        accumulator_.compress(blake3_detail::kIvRows, first, kBlake3BlockSize, kBlake3ChunkStart);
    // Message bytes 64..70: the high half of LE32(x), LE32(y), the luminance.
    const std::uint32_t luminance = luminance_byte(static_cast<std::uint8_t>(centre),
                                                   static_cast<std::uint8_t>(centre >> 8),
                                                   static_cast<std::uint8_t>(centre >> 16));
    const MessageRows second = {{Row{static_cast<std::uint32_t>((x >> 16) | (y << 16)),
                                    static_cast<std::uint32_t>((y >> 16) | (luminance << 16))},
                                Row{}, Row{}, Row{}}};
    static_assert(kStepMessageSize - kBlake3BlockSize == 7);
    cv_ = accumulator_.compress(middle, second, kStepMessageSize - kBlake3BlockSize,
                                kBlake3ChunkEnd | kBlake3Root);
  }

  const PixelGrid& grid_;
  const bool in_bounds_;
  const std::uint64_t row_size_;          // bytes per image row
  const std::int32_t last_x_, last_y_;  // the neighbourhood's clamp bounds
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

ChunkWalkKernel chunk_walk_kernel(SimdLevel level) noexcept {
#if defined(__x86_64__)
  return kernel_for<ChunkWalkKernel>(level, walk_chunk_scalar, walk_chunk_avx2, walk_chunk_avx512);
#else
  return walk_chunk_scalar;
#endif
}

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
  const DeadStackWipe<kKernelStackDepth> wipe_on_exit;  // the kernels spill what they hash
  blake3_walk::chunk_walk_kernel(level)(chunk_seed, grid, steps, result, control);
}

}  // namespace quorvex
