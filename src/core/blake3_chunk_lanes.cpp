#include "blake3_chunk_lanes.hpp"

// The lane vectors are 32 and 64 bytes wide, and GCC notes that such
// vectors pass differently with and without AVX. Every function that takes
// or returns one here is inlined into a kernel compiled for its level, so
// no such call is ever made.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "blake3_rounds.hpp"
#include "blake3_step.hpp"
#include "errors.hpp"
#include "keccak_rounds.hpp"
#include "secret.hpp"
#include "sha3_sponge.hpp"

namespace quorvex {
namespace {

using blake3_walk::kReanchorPeriod;
using blake3_walk::kStepMessageSize;
using blake3_walk::step_detail::StepBytes;
using blake3_walk::step_detail::StepReader;

// The state of N chunk walks, transposed: word i of every chunk's chain
// value in one vector of N words (lane l is chunk l), and lane k of the
// SHA3-256 states of a group of K chunks in one vector of K 64-bit words,
// one register wide: a group's 25 state vectors then fit the registers.
template <int N, int K>
struct Lanes {
  static_assert(N % K == 0);
  typedef std::uint32_t Words __attribute__((vector_size(4 * N)));
  typedef std::uint64_t Group64 __attribute__((vector_size(8 * K)));
  static constexpr int kGroups = N / K;
};

// The quarter-round G on N independent states at once.
template <class V>
[[gnu::always_inline]] inline void g(V& a, V& b, V& c, V& d, V x, V y) noexcept {
  a = a + b + x;
  d = (d ^ a) >> 16 | (d ^ a) << 16;
  c = c + d;
  b = (b ^ c) >> 12 | (b ^ c) << 20;
  a = a + b + y;
  d = (d ^ a) >> 8 | (d ^ a) << 24;
  c = c + d;
  b = (b ^ c) >> 7 | (b ^ c) << 25;
}

// One compression of N blocks (word i of every block in m[i]) under N
// chaining values, counter 0; cv becomes the first eight output words.
template <class V>
[[gnu::always_inline]] inline void compress(V (&cv)[8], const V (&m)[16], std::uint32_t block_length,
                                            std::uint32_t flags) noexcept {
  using blake3_detail::kSchedule;
  V v[16];
  for (int i = 0; i < 8; ++i) v[i] = cv[i];
  for (int i = 0; i < 4; ++i) v[8 + i] = V{} + kBlake3Iv[i];
  v[12] = V{};
  v[13] = V{};
  v[14] = V{} + block_length;
  v[15] = V{} + flags;
#pragma GCC unroll 7
  for (int r = 0; r < blake3_detail::kRounds; ++r) {
    const std::array<int, 16>& s = kSchedule[r];
    g(v[0], v[4], v[8], v[12], m[s[0]], m[s[1]]);
    g(v[1], v[5], v[9], v[13], m[s[2]], m[s[3]]);
    g(v[2], v[6], v[10], v[14], m[s[4]], m[s[5]]);
    g(v[3], v[7], v[11], v[15], m[s[6]], m[s[7]]);
    g(v[0], v[5], v[10], v[15], m[s[8]], m[s[9]]);
    g(v[1], v[6], v[11], v[12], m[s[10]], m[s[11]]);
    g(v[2], v[7], v[8], v[13], m[s[12]], m[s[13]]);
    g(v[3], v[4], v[9], v[14], m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) cv[i] = v[i] ^ v[i + 8];
}

// N walks in lockstep. Every chunk takes the same number of steps, so
// their accumulators fill and permute their blocks at the same steps.
template <int N, int K>
class LaneWalker {
  using V = typename Lanes<N, K>::Words;
  using W = typename Lanes<N, K>::Group64;
  static constexpr int kGroups = Lanes<N, K>::kGroups;
  static constexpr int kRateLanes = kSha3_256Rate / 8;

 public:
  explicit LaneWalker(const PixelGrid& grid) noexcept : reader_(grid) {}
  LaneWalker(const LaneWalker&) = delete;
  LaneWalker& operator=(const LaneWalker&) = delete;
  ~LaneWalker() {
    wipe(cv_, sizeof cv_);
    wipe(m_, sizeof m_);
    wipe(state_, sizeof state_);
    wipe(origin_x_, sizeof origin_x_);
    wipe(origin_y_, sizeof origin_y_);
  }

  // Chunks past `count` walk copies of chunk 0 and are not reported.
  [[gnu::always_inline]] void walk(const std::uint8_t* seeds, std::size_t count,
                                   std::uint64_t steps, ChunkResult* results,
                                   ChunkControl control) {
    start(seeds, count);
    for (std::uint64_t step = 0; step < steps; ++step) {
      if (step % kInterruptInterval == 0 && step > 0) blake3_walk::step_detail::poll(control);
      if (step % kReanchorPeriod == 0 && step > 0) anchor();
      walk_step();
      accumulate();
    }
    finish(count, results);
  }

 private:
  void start(const std::uint8_t* seeds, std::size_t count) noexcept {
    for (int i = 0; i < 8; ++i) {
      cv_[i] = V{} + kBlake3Iv[i];
      m_[8 + i] = V{};
      for (int lane = 0; lane < N; ++lane) {
        const std::size_t chunk = static_cast<std::size_t>(lane) < count ? lane : 0;
        m_[i][lane] = load_le32(seeds + kBlake3Size * chunk + 4 * i);
      }
    }
    compress(cv_, m_, kBlake3Size, kBlake3ChunkStart | kBlake3ChunkEnd | kBlake3Root);
    anchor();
  }

  [[gnu::always_inline]] void anchor() noexcept {
    for (int lane = 0; lane < N; ++lane) {
      origin_x_[lane] = reader_.origin_x(cv_[0][lane]);
      origin_y_[lane] = reader_.origin_y(cv_[1][lane]);
    }
  }

  // Each lane's pixels go through memory into the transposed message: a
  // lane's words are scattered across the vectors. What the step leaves in
  // memory is key material; the caller's dead-stack wipe takes it.
  [[gnu::always_inline]] void walk_step() {
    std::uint32_t pixels[8][N], tail[2][N];
    for (int lane = 0; lane < N; ++lane) {
      const StepBytes bytes = reader_.read(origin_x_[lane], origin_y_[lane], cv_[2][lane]);
      for (int i = 0; i < 4; ++i) {
        pixels[2 * i][lane] = static_cast<std::uint32_t>(bytes.pixels[i]);
        pixels[2 * i + 1][lane] = static_cast<std::uint32_t>(bytes.pixels[i] >> 32);
      }
      tail[0][lane] = bytes.tail[0];
      tail[1][lane] = bytes.tail[1];
    }
    for (int i = 0; i < 8; ++i) {
      m_[i] = cv_[i];
      __builtin_memcpy(&m_[8 + i], pixels[i], sizeof(V));
      cv_[i] = V{} + kBlake3Iv[i];
    }
    compress(cv_, m_, kBlake3BlockSize, kBlake3ChunkStart);
    __builtin_memcpy(&m_[0], tail[0], sizeof(V));
    __builtin_memcpy(&m_[1], tail[1], sizeof(V));
    for (int i = 2; i < 16; ++i) m_[i] = V{};
    static_assert(kStepMessageSize - kBlake3BlockSize == 7);
    compress(cv_, m_, kStepMessageSize - kBlake3BlockSize, kBlake3ChunkEnd | kBlake3Root);
  }

  // The 32-byte chain value is four little-endian 64-bit words of the
  // sponge's 136-byte block, always at a multiple of 8 bytes.
  [[gnu::always_inline]] void accumulate() noexcept {
    for (int i = 0; i < 4; ++i) {
      for (int group = 0; group < kGroups; ++group) {
        state_[group][filled_] ^= group_word(cv_[2 * i], cv_[2 * i + 1], group);
      }
      if (++filled_ == kRateLanes) {
        for (auto& state : state_) keccak_detail::permute(state);
        filled_ = 0;
      }
    }
  }

  // Chain value words `low` and `high` of chunks group * K to group * K +
  // K - 1, as the little-endian 64-bit words low | high << 32 that their
  // sponges absorb.
  [[gnu::always_inline]] static W group_word(V low, V high, int group) noexcept {
    W word;
    for (int k = 0; k < K; ++k) {
      word[k] = std::uint64_t{low[group * K + k]} | (std::uint64_t{high[group * K + k]} << 32);
    }
    return word;
  }

  void finish(std::size_t count, ChunkResult* results) noexcept {
    for (auto& state : state_) {
      state[filled_] ^= W{} + 0x06;
      state[kRateLanes - 1] ^= W{} + (std::uint64_t{0x80} << 56);
      keccak_detail::permute(state);
    }
    for (std::size_t lane = 0; lane < count; ++lane) {
      for (int i = 0; i < 4; ++i) {
        put_le64(results[lane].step_digest.data() + 8 * i, state_[lane / K][i][lane % K]);
        put_le32(results[lane].chain.data() + 8 * i, cv_[2 * i][lane]);
        put_le32(results[lane].chain.data() + 8 * i + 4, cv_[2 * i + 1][lane]);
      }
    }
  }

  const StepReader reader_;
  V cv_[8] = {};
  V m_[16] = {};
  W state_[kGroups][kKeccakLanes] = {};
  int filled_ = 0;  // 64-bit words of the current block
  std::uint64_t origin_x_[N] = {}, origin_y_[N] = {};
};

template <int N, int K>
[[gnu::always_inline]] inline void walk_lanes(const std::uint8_t* seeds, std::size_t count,
                                              const PixelGrid& grid, std::uint64_t steps,
                                              ChunkResult* results, ChunkControl control) {
  LaneWalker<N, K> walker(grid);
  walker.walk(seeds, count, steps, results, control);
}

using LaneKernel = void (*)(const std::uint8_t*, std::size_t, const PixelGrid&, std::uint64_t,
                            ChunkResult*, ChunkControl);

struct LaneLevel {
  LaneKernel kernel;  // null where a call takes one chunk at most
  std::size_t lanes;  // the widest walk
};

#if defined(__x86_64__)

// Each level walks a few chunks in narrower vectors: a step costs the same
// whether its lanes carry chunks or copies. The Keccak groups are one
// register wide (AVX2 has only 16 registers, so 4 lanes there).
[[gnu::target("avx2,bmi,bmi2")]] void walk_lanes_avx2(const std::uint8_t* seeds, std::size_t count,
                                                      const PixelGrid& grid, std::uint64_t steps,
                                                      ChunkResult* results,
                                                      ChunkControl control) {
  if (count <= 4) {
    walk_lanes<4, 4>(seeds, count, grid, steps, results, control);
  } else {
    walk_lanes<8, 4>(seeds, count, grid, steps, results, control);
  }
}

[[gnu::target("avx512f,avx512vl,avx2,bmi,bmi2")]] void walk_lanes_avx512(
    const std::uint8_t* seeds, std::size_t count, const PixelGrid& grid, std::uint64_t steps,
    ChunkResult* results, ChunkControl control) {
  if (count <= 4) {
    walk_lanes<4, 4>(seeds, count, grid, steps, results, control);
  } else if (count <= 8) {
    walk_lanes<8, 8>(seeds, count, grid, steps, results, control);
  } else {
    walk_lanes<16, 8>(seeds, count, grid, steps, results, control);
  }
}

#endif  // __x86_64__

LaneLevel lane_level([[maybe_unused]] SimdLevel level) noexcept {
#if defined(__x86_64__)
  // Without AVX2, vector lanes measured no faster than walking the chunks
  // one after another (SSE2, 4 lanes: 169 against 172 ns per chunk-step).
  return kernel_for<LaneLevel>(level, {nullptr, 1}, {walk_lanes_avx2, 8},
                               {walk_lanes_avx512, 16});
#else
  return {nullptr, 1};
#endif
}

}  // namespace

std::size_t chunk_lanes(SimdLevel level) noexcept { return lane_level(level).lanes; }

// A walk of w lanes costs about what w / 2 + 1 chunks walked one after
// another cost (measured at avx512: 4 lanes 500 ns a step, 8 lanes 700,
// 16 lanes 1030, one chunk 172), so lanes pay once more than half of them
// carry chunks.
std::size_t lane_batch(std::size_t remaining, SimdLevel level) noexcept {
  const std::size_t take = std::min(remaining, chunk_lanes(level));
  std::size_t width = 4;
  while (width < take) width *= 2;
  return take > width / 2 ? take : 1;
}

bool lanes_can_walk(const PixelGrid& grid) noexcept { return StepReader(grid).in_bounds(); }

void chunk_walk_lanes(const std::uint8_t* seeds, std::size_t count, const PixelGrid& grid,
                      std::uint64_t steps, ChunkResult* results, ChunkControl control,
                      SimdLevel level) {
  const LaneLevel lanes = lane_level(level);
  check_blake3_dimensions(grid);
  if (count == 0 || count > lanes.lanes || !lanes_can_walk(grid)) {
    throw std::logic_error("chunk_walk_lanes: a chunk count or grid it cannot walk");
  }
  // One chunk takes the lone walk: in lanes it would cost a whole vector.
  if (count == 1) return chunk_walk(seeds, grid, steps, results[0], control, level);
  const DeadStackWipe<kLaneStackDepth> wipe_on_exit;  // the kernels spill what they hash
  lanes.kernel(seeds, count, grid, steps, results, control);
}

}  // namespace quorvex
