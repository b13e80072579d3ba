#include "sha3_walk.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "byte_order.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "keccak.hpp"
#include "sha3_sponge.hpp"

namespace quorvex {

namespace sha3_walk {
namespace {

// The walk once kept every visit digest of a layer in one buffer of
// steps * 32 bytes and refused step counts whose buffer size overflows an
// allocation size. The buffer is gone (the digests stream into the layer
// hasher), but the refusal stays: callers may rely on it.
constexpr std::uint64_t kMaxSteps =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / kVisitDigestSize;

struct Rgb {
  std::uint8_t r, g, b;
};

// The pixel at byte offset `at`, each of its three bytes bounds-checked in
// order so a failure names the first offending index.
Rgb read_pixel(ByteView pixels, std::uint64_t at) {
  const std::uint64_t size = pixels.size();
  if (at >= size) fail_out_of_bounds(size, at);
  if (at + 1 >= size) fail_out_of_bounds(size, at + 1);
  if (at + 2 >= size) fail_out_of_bounds(size, at + 2);
  return {pixels[at], pixels[at + 1], pixels[at + 2]};
}

// Offset of pixel (column, row) in unsigned 64-bit arithmetic that wraps.
std::uint64_t pixel_offset(const PixelGrid& grid, std::uint64_t column,
                           std::uint64_t row) noexcept {
  return (row * grid.width + column) * 3;
}

double luminance_of(Rgb pixel) noexcept { return pixel_luminance(pixel.r, pixel.g, pixel.b); }

void put_hex_color(std::uint8_t* out, Rgb pixel) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  out[0] = '#';
  const std::uint8_t channels[3] = {pixel.r, pixel.g, pixel.b};
  for (int i = 0; i < 3; ++i) {
    out[1 + 2 * i] = static_cast<std::uint8_t>(kDigits[channels[i] >> 4]);
    out[2 + 2 * i] = static_cast<std::uint8_t>(kDigits[channels[i] & 0x0F]);
  }
}

// Neighbours column by column from the left (dx outer, dy inner), unlike
// the window's row-major order. Coordinates and their comparisons with the
// sizes are signed 32-bit, wrapping, as they always were.
void collect_neighbors(const PixelGrid& grid, std::uint32_t x, std::uint32_t y,
                       StepMessage& message) {
  const std::int32_t width = wrap_i32(grid.width);
  const std::int32_t height = wrap_i32(grid.height);
  std::size_t size = 0;
  for (std::int32_t dx = -1; dx <= 1; ++dx) {
    for (std::int32_t dy = -1; dy <= 1; ++dy) {
      if (dx == 0 && dy == 0) continue;
      const std::int32_t nx = wrapping_add_i32(wrap_i32(x), dx);
      const std::int32_t ny = wrapping_add_i32(wrap_i32(y), dy);
      if (nx < 0 || nx >= width || ny < 0 || ny >= height) continue;
      const Rgb pixel = read_pixel(grid.pixels, pixel_offset(grid, static_cast<std::uint64_t>(nx),
                                                             static_cast<std::uint64_t>(ny)));
      message.neighbor_bytes[size++] = pixel.r;
      message.neighbor_bytes[size++] = pixel.g;
      message.neighbor_bytes[size++] = pixel.b;
    }
  }
  message.neighbor_size = size;
}

// Population standard deviation of n values. Sums run in visiting order
// from zero: no compensation, no reordering.
double deviation_of(const double* values, std::size_t n) noexcept {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += values[i];
  const double count = static_cast<double>(n);
  const double mean = sum / count;
  double squares = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = values[i] - mean;
    squares += d * d;
  }
  return std::sqrt(squares / count);
}

void write_record(StepMessage& message, Position at, Rgb pixel, double luminance,
                  double deviation) noexcept {
  std::uint8_t* record = message.step_record;
  put_be32(record + kRecordX, at.x);
  put_be32(record + kRecordY, at.y);
  record[kRecordRgb] = pixel.r;
  record[kRecordRgb + 1] = pixel.g;
  record[kRecordRgb + 2] = pixel.b;
  put_hex_color(record + kRecordColorHex, pixel);
  put_be32(record + kRecordLuminance,
           static_cast<std::uint32_t>(to_i32_saturating(luminance * 1000.0)));
  put_be32(record + kRecordDeviation,
           static_cast<std::uint32_t>(to_i32_saturating(deviation * 1000.0)));
}

// True when every pixel of the grid lies inside the buffer and the sizes
// are small enough that the signed 32-bit window arithmetic cannot wrap (x + 2
// must fit for the last column): then no read of the walk can fail, and none
// needs a check.
bool reads_stay_inside(const PixelGrid& grid) noexcept {
  constexpr std::uint64_t kLargest = (std::uint64_t{1} << 31) - 2;
  return grid.width <= kLargest && grid.height <= kLargest &&
         grid.width * grid.height * 3 == grid.pixels.size();
}

// The 3 x 3 block around the visited pixel is read once; the window (row by
// row) and the neighbours (column by column) are both taken from it.
void describe_position_in_bounds(const PixelGrid& grid, Position at,
                                 StepMessage& message) noexcept {
  const std::uint64_t width = grid.width, height = grid.height;
  const bool inside_column[3] = {at.x > 0, true, at.x + std::uint64_t{1} < width};
  const bool inside_row[3] = {at.y > 0, true, at.y + std::uint64_t{1} < height};
  Rgb block[3][3] = {};
  double luminance[3][3] = {};
  double values[9];
  std::size_t n = 0;
  for (int r = 0; r < 3; ++r) {
    if (!inside_row[r]) continue;
    const std::uint64_t row = std::uint64_t{at.y} + r - 1;
    for (int c = 0; c < 3; ++c) {
      if (!inside_column[c]) continue;
      const std::uint8_t* p = grid.pixels.data() + (row * width + at.x + c - 1) * 3;
      block[r][c] = {p[0], p[1], p[2]};
      luminance[r][c] = luminance_of(block[r][c]);
      values[n++] = luminance[r][c];
    }
  }
  write_record(message, at, block[1][1], luminance[1][1], deviation_of(values, n));
  std::size_t size = 0;
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) {
      if ((r == 1 && c == 1) || !inside_row[r] || !inside_column[c]) continue;
      message.neighbor_bytes[size++] = block[r][c].r;
      message.neighbor_bytes[size++] = block[r][c].g;
      message.neighbor_bytes[size++] = block[r][c].b;
    }
  }
  message.neighbor_size = size;
  wipe(block, sizeof block);
  wipe(luminance, sizeof luminance);
  wipe(values, sizeof values);
}

}  // namespace

double pixel_luminance(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept {
  const double weighted = (0.299 * r + 0.587 * g) + 0.114 * b;
  return weighted / 255.0;
}

double window_deviation(const PixelGrid& grid, std::uint32_t x, std::uint32_t y) {
  const std::int32_t sx = wrap_i32(x), sy = wrap_i32(y);
  const std::int32_t column_begin = std::max(wrapping_add_i32(sx, -1), 0);
  const std::int32_t column_end = std::min(wrapping_add_i32(sx, 2), wrap_i32(grid.width));
  const std::int32_t row_begin = std::max(wrapping_add_i32(sy, -1), 0);
  const std::int32_t row_end = std::min(wrapping_add_i32(sy, 2), wrap_i32(grid.height));

  double values[9];
  std::size_t n = 0;
  for (std::int32_t row = row_begin; row < row_end && n < 9; ++row) {
    for (std::int32_t column = column_begin; column < column_end && n < 9; ++column) {
      const std::uint64_t at =
          pixel_offset(grid, static_cast<std::uint64_t>(column), static_cast<std::uint64_t>(row));
      values[n++] = luminance_of(read_pixel(grid.pixels, at));
    }
  }
  const double deviation = deviation_of(values, n);
  wipe(values, sizeof values);
  return deviation;
}

std::int32_t to_i32_saturating(double value) noexcept {
  if (std::isnan(value)) return 0;
  if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

namespace {

// x mod size for a 32-bit x: a 32-bit division when the size allows (the
// remainder is the same, the instruction quicker), x itself past 2^32 - 1.
std::uint32_t remainder_of(std::uint32_t x, std::uint64_t size) noexcept {
  if (size <= UINT32_MAX) return x % static_cast<std::uint32_t>(size);
  return static_cast<std::uint32_t>(x % size);
}

}  // namespace

Position position_of(const PixelGrid& grid, const std::uint8_t* state) noexcept {
  return {remainder_of(load_be32(state), grid.width),
          remainder_of(load_be32(state + 4), grid.height)};
}

void describe_step(const PixelGrid& grid, const std::uint8_t* state, StepMessage& message) {
  describe_position(grid, position_of(grid, state), message);
}

void describe_position_checked(const PixelGrid& grid, Position at, StepMessage& message) {
  const Rgb pixel = read_pixel(grid.pixels, pixel_offset(grid, at.x, at.y));
  write_record(message, at, pixel, luminance_of(pixel), window_deviation(grid, at.x, at.y));
  collect_neighbors(grid, at.x, at.y, message);
}

void describe_position(const PixelGrid& grid, Position at, StepMessage& message) {
  if (reads_stay_inside(grid)) {
    describe_position_in_bounds(grid, at, message);
  } else {
    describe_position_checked(grid, at, message);
  }
}

namespace {

// GCC 12 silently drops __builtin_prefetch in this walk (it keeps it in
// smaller functions); the volatile asm cannot be dropped.
inline void prefetch(const std::uint8_t* address) noexcept {
#if defined(__x86_64__)
  asm volatile("prefetcht0 (%0)" : : "r"(address));
#else
  __builtin_prefetch(address);
#endif
}

// Hints the cache lines of the window rows around `at`. Only addresses
// inside the pixels are formed; a hint never faults.
void prefetch_window(const PixelGrid& grid, Position at) noexcept {
  const std::uint8_t* base = grid.pixels.data();
  const std::uint64_t size = grid.pixels.size();
  const std::uint64_t width = grid.width;
  const std::uint64_t column = at.x > 0 ? at.x - 1 : 0;
  const std::uint64_t first_row = at.y > 0 ? at.y - 1 : 0;
  for (std::uint64_t row = first_row; row <= std::uint64_t{at.y} + 1; ++row) {
    const std::uint64_t begin = (row * width + column) * 3;
    if (begin < size) prefetch(base + begin);
    if (begin + 8 < size) prefetch(base + begin + 8);
  }
}

// One call's walk, pipelined over two Keccak lanes.
//
// Only the state hash lies on the critical path: the next position comes
// from the state it makes. The visit digest of a step (SHA3-256 of the new
// state and the record) and the layer hasher that absorbs it feed nothing
// but the layer digest, so they can wait. Step k therefore runs its two
// state-hash permutations in lane 0 and, beside them in lane 1, the visit
// hash of step k - 1 (first permutation) and, when that digest fills a
// layer block, the layer hasher's permutation (second). The results, the
// order of every absorbed byte included, are those of the plain sequence;
// only the schedule changes. On a level without vector lanes the pair call
// runs its states one after the other, which is the plain sequence.
//
// Message layout per step (state hash, 98 to 122 bytes): two blocks of the
// 72-byte SHA3-512 rate, the second padded. Visit hash: 90 bytes, one
// padded block of the 136-byte SHA3-256 rate.
class Walker {
 public:
  Walker(const PixelGrid& grid, const InterruptCheck& check_interrupt, KeccakKernels kernels)
      : grid_(grid), check_interrupt_(check_interrupt), kernels_(kernels) {}
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;
  ~Walker() {
    wipe(&message_, sizeof message_);
    wipe(input_, sizeof input_);
    wipe(previous_record_, sizeof previous_record_);
    wipe(visit_digest_, sizeof visit_digest_);
    wipe(&step_hash_, sizeof step_hash_);
    wipe(&visit_hash_, sizeof visit_hash_);
  }

  // Runs one layer from `state` (64 bytes, updated in place to the final
  // walk state) and writes its 64-byte layer digest.
  void walk_layer(std::uint8_t* state, std::uint64_t steps, std::uint8_t* layer_digest) {
    if (steps > 0 && grid_.width == 0) fail_zero_divisor();
    if (steps > 0 && grid_.height == 0) fail_zero_divisor();
    Sha3Sponge layer_hash(kSha3_512Rate);
    visit_pending_ = false;
    count_work();  // a layer of no steps is still work: 2^64 of them take years
    if (steps > 0) position_ = position_of(grid_, state);
    for (std::uint64_t step = 0; step < steps; ++step) {
      count_work();
      walk_step(state, layer_hash);
    }
    if (visit_pending_) finish_last_visit(state, layer_hash);
    layer_hash.finish(layer_digest, kSha3_512Size, kernels_.single);
  }

 private:
  // Gives the caller a chance to interrupt every kInterruptInterval units
  // of work (steps and layers).
  void count_work() {
    if (++since_check_ == kInterruptInterval) {
      since_check_ = 0;
      if (check_interrupt_) check_interrupt_();
    }
  }

  // state ← SHA3-512(state ‖ record ‖ position ‖ neighbours), with the
  // previous step's visit digest alongside. The first block holds only the
  // state and the record's x and y, so its permutation runs while the
  // pixels prefetched at the end of the previous step arrive; the pixel
  // statistics go into the second block.
  void walk_step(std::uint8_t* state, Sha3Sponge& layer_hash) {
    static_assert(
        kStepInputRecord + kRecordY + 4 == kSha3_512Rate && kMaxStepInputSize < 2 * kSha3_512Rate,
        "the first block ends after the record's y, the input fits in two blocks");
    std::copy_n(state, kStateSize, input_);
    put_be32(input_ + kStepInputRecord + kRecordX, position_.x);
    put_be32(input_ + kStepInputRecord + kRecordY, position_.y);
    step_hash_ = KeccakState{};
    xor_into_state(step_hash_, 0, input_, kSha3_512Rate);
    if (visit_pending_) {
      start_visit_hash(state);
      kernels_.pair(step_hash_, &visit_hash_);
      read_state(visit_hash_, visit_digest_, kVisitDigestSize);
    } else {
      kernels_.single(step_hash_);
    }

    describe_position(grid_, position_, message_);
    std::copy_n(message_.step_record, kStepRecordSize, input_ + kStepInputRecord);
    std::copy_n(message_.step_record + kRecordX, kPositionSize, input_ + kStepInputPosition);
    std::copy_n(message_.neighbor_bytes, message_.neighbor_size, input_ + kStepInputNeighbors);
    const std::size_t tail = kStepInputNeighbors + message_.neighbor_size - kSha3_512Rate;
    xor_into_state(step_hash_, 0, input_ + kSha3_512Rate, tail);
    pad_sha3(step_hash_, tail, kSha3_512Rate);
    if (visit_pending_) {
      const std::size_t taken = layer_hash.absorb_some(visit_digest_, kVisitDigestSize);
      if (layer_hash.block_full()) {
        kernels_.pair(step_hash_, &layer_hash.state());
        layer_hash.next_block();
        layer_hash.absorb_some(visit_digest_ + taken, kVisitDigestSize - taken);
      } else {
        kernels_.single(step_hash_);
      }
    } else {
      kernels_.single(step_hash_);
    }
    read_state(step_hash_, state, kStateSize);

    std::copy_n(message_.step_record, kStepRecordSize, previous_record_);
    visit_pending_ = true;
    // The next position is known now: start fetching its pixels.
    position_ = position_of(grid_, state);
    prefetch_window(grid_, position_);
  }

  // The visit hash of the previous step: SHA3-256(state ‖ its record), one
  // padded block.
  void start_visit_hash(const std::uint8_t* state) noexcept {
    visit_hash_ = KeccakState{};
    xor_into_state(visit_hash_, 0, state, kStateSize);
    xor_into_state(visit_hash_, kStateSize, previous_record_, kStepRecordSize);
    pad_sha3(visit_hash_, kVisitInputSize, kSha3_256Rate);
  }

  // The last step's visit digest has no next step to ride along with.
  void finish_last_visit(const std::uint8_t* state, Sha3Sponge& layer_hash) noexcept {
    start_visit_hash(state);
    kernels_.single(visit_hash_);
    read_state(visit_hash_, visit_digest_, kVisitDigestSize);
    layer_hash.absorb(visit_digest_, kVisitDigestSize, kernels_.single);
    visit_pending_ = false;
  }

  const PixelGrid& grid_;
  const InterruptCheck& check_interrupt_;
  const KeccakKernels kernels_;
  Position position_{};
  StepMessage message_{};
  KeccakState step_hash_{}, visit_hash_{};
  std::uint8_t input_[kMaxStepInputSize];
  std::uint8_t previous_record_[kStepRecordSize];
  std::uint8_t visit_digest_[kVisitDigestSize];
  bool visit_pending_ = false;
  std::uint64_t since_check_ = 0;
};

void check_layer_inputs(ByteView seed, const PixelGrid& grid, std::uint64_t steps) {
  if (seed.size() != kStateSize) {
    fail_unequal(texts::kSeedLength, seed.size(), kStateSize);
  }
  const std::uint64_t expected = grid.width * grid.height * 3;  // mod 2^64
  if (grid.pixels.size() != expected) {
    fail_unequal(texts::kPixelLength, grid.pixels.size(), expected);
  }
  if (steps > kMaxSteps) throw Panic(texts::kCapacityOverflow);
}

}  // namespace
}  // namespace sha3_walk

Sha3Pool execute_multilayer_sha3(ByteView initial_seed, const PixelGrid& grid, std::uint64_t steps,
                                 std::uint64_t layers, const InterruptCheck& check_interrupt) {
  return execute_multilayer_sha3_at(active_simd_level(), initial_seed, grid, steps, layers,
                                    check_interrupt);
}

Sha3Pool execute_multilayer_sha3_at(SimdLevel level, ByteView initial_seed, const PixelGrid& grid,
                                    std::uint64_t steps, std::uint64_t layers,
                                    const InterruptCheck& check_interrupt) {
  using namespace sha3_walk;
  const DeadStackWipe<kKernelStackDepth> wipe_on_exit;  // the kernels spill the states they permute
  const KeccakKernels kernels = keccak_kernels(level);
  Sha3Sponge pool_hasher(kSha3_512Rate);
  if (layers > 0) {
    // Later layers start from a 64-byte state over the same pixels, so the
    // checks of the first layer hold for all of them.
    check_layer_inputs(initial_seed, grid, steps);
    Walker walker(grid, check_interrupt, kernels);
    SecretArray<kStateSize> state;
    SecretArray<kStateSize> layer_digest;
    std::copy_n(initial_seed.begin(), kStateSize, state.begin());
    for (std::uint64_t layer = 0; layer < layers; ++layer) {
      walker.walk_layer(state.data(), steps, layer_digest.data());
      pool_hasher.absorb(layer_digest.data(), layer_digest.size(), kernels.single);
    }
  }
  Sha3Pool pool;
  pool_hasher.finish(pool.data(), pool.size(), kernels.single);
  return pool;
}

}  // namespace quorvex
