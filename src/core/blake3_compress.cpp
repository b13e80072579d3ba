#include "blake3_compress.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "byte_order.hpp"
#include "secret.hpp"

namespace quorvex {
namespace {

constexpr const std::uint32_t (&kIv)[8] = kBlake3Iv;
constexpr int kRounds = 7;

// The message word order of every round: round 0 takes words 0..15 in
// order, each later round applies the fixed permutation once more.
constexpr std::array<std::array<int, 16>, kRounds> message_schedule() {
  constexpr int kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
  std::array<std::array<int, 16>, kRounds> schedule{};
  for (int i = 0; i < 16; ++i) schedule[0][i] = i;
  for (int round = 1; round < kRounds; ++round) {
    for (int i = 0; i < 16; ++i) schedule[round][i] = schedule[round - 1][kPermutation[i]];
  }
  return schedule;
}
constexpr auto kSchedule = message_schedule();
static_assert(kSchedule[1][0] == 2 && kSchedule[1][15] == 8 && kSchedule[2][0] == 3);

// The 4 x 4 state held as four rows of four words: the column step is one
// G on all four rows at once, the diagonal step the same after rotating
// rows 1, 2 and 3 left by 1, 2 and 3 words. GCC vectors, so that the same
// source is SSE2 code by default and uses vprord under AVX-512VL.
typedef std::uint32_t Row __attribute__((vector_size(16)));

template <int N>
[[gnu::always_inline]] inline Row rotate_right(Row v) noexcept {
  return (v >> N) | (v << (32 - N));
}

// The quarter-round G on four columns at once. Each addition takes a's
// message word first: a is ready before b, so only one addition waits for b.
[[gnu::always_inline]] inline void g(Row& a, Row& b, Row& c, Row& d, Row x, Row y) noexcept {
  a = (a + x) + b;
  d = rotate_right<16>(d ^ a);
  c = c + d;
  b = rotate_right<12>(b ^ c);
  a = (a + y) + b;
  d = rotate_right<8>(d ^ a);
  c = c + d;
  b = rotate_right<7>(b ^ c);
}

// The whole block as one vector: each round's four G inputs are gathered
// from it by constant shuffles (vpermd under AVX-512).
typedef std::uint32_t Block __attribute__((vector_size(64)));

// One round. For the diagonal step rows a, c and d move and b stays: b is
// the last row G finishes, so no shuffle waits for it. Lane i then works on
// the diagonal through v[4 + i]: G(v3, v4, v9, v14) in lane 0, G(v0, v5,
// v10, v15) in lane 1, G(v1, v6, v11, v12) in lane 2, G(v2, v7, v8, v13) in
// lane 3, with message words 14/15, 8/9, 10/11 and 12/13.
template <int R>
[[gnu::always_inline]] inline void round(Row& a, Row& b, Row& c, Row& d, Block m) noexcept {
  constexpr const std::array<int, 16>& s = kSchedule[R];
  g(a, b, c, d, __builtin_shufflevector(m, m, s[0], s[2], s[4], s[6]),
    __builtin_shufflevector(m, m, s[1], s[3], s[5], s[7]));
  a = __builtin_shuffle(a, Row{3, 0, 1, 2});
  c = __builtin_shuffle(c, Row{1, 2, 3, 0});
  d = __builtin_shuffle(d, Row{2, 3, 0, 1});
  g(a, b, c, d, __builtin_shufflevector(m, m, s[14], s[8], s[10], s[12]),
    __builtin_shufflevector(m, m, s[15], s[9], s[11], s[13]));
  a = __builtin_shuffle(a, Row{1, 2, 3, 0});
  c = __builtin_shuffle(c, Row{3, 0, 1, 2});
  d = __builtin_shuffle(d, Row{2, 3, 0, 1});
}

[[gnu::always_inline]] inline Blake3ChainingValue compress_rows(const Blake3ChainingValue& cv,
                                                                const std::uint8_t* block,
                                                                std::uint64_t counter,
                                                                std::uint32_t block_length,
                                                                std::uint32_t flags) noexcept {
  Block m;
  for (int i = 0; i < 16; ++i) m[i] = load_le32(block + 4 * i);
  Row a = {cv.words[0], cv.words[1], cv.words[2], cv.words[3]};
  Row b = {cv.words[4], cv.words[5], cv.words[6], cv.words[7]};
  Row c = {kIv[0], kIv[1], kIv[2], kIv[3]};
  Row d = {static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
           block_length, flags};
  static_assert(kRounds == 7);
  round<0>(a, b, c, d, m);
  round<1>(a, b, c, d, m);
  round<2>(a, b, c, d, m);
  round<3>(a, b, c, d, m);
  round<4>(a, b, c, d, m);
  round<5>(a, b, c, d, m);
  round<6>(a, b, c, d, m);
  const Row low = a ^ c, high = b ^ d;
  Blake3ChainingValue out;
  for (int i = 0; i < 4; ++i) {
    out.words[i] = low[i];
    out.words[i + 4] = high[i];
  }
  wipe(&m, sizeof m);
  return out;
}

Blake3ChainingValue compress_scalar(const Blake3ChainingValue& cv, const std::uint8_t* block,
                                    std::uint64_t counter, std::uint32_t block_length,
                                    std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

#if defined(__x86_64__)

[[gnu::target("avx2")]] Blake3ChainingValue compress_avx2(const Blake3ChainingValue& cv,
                                                          const std::uint8_t* block,
                                                          std::uint64_t counter,
                                                          std::uint32_t block_length,
                                                          std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

[[gnu::target("avx512f,avx512vl,avx2,prefer-vector-width=512")]] Blake3ChainingValue
compress_avx512(const Blake3ChainingValue& cv, const std::uint8_t* block, std::uint64_t counter,
                std::uint32_t block_length, std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

#endif  // __x86_64__

}  // namespace

Blake3Compression blake3_compression(SimdLevel level) noexcept {
  switch (std::min(level, supported_simd_level())) {
#if defined(__x86_64__)
    case SimdLevel::avx512:
      return compress_avx512;
    case SimdLevel::avx2:
      return compress_avx2;
#endif
    default:
      break;
  }
  return compress_scalar;
}

void blake3_hash_chunk(const std::uint8_t* message, std::size_t size, std::uint8_t* out,
                       Blake3Compression compress) noexcept {
  Blake3ChainingValue cv;
  std::copy_n(kIv, 8, cv.words);
  std::uint8_t block[kBlake3BlockSize];
  std::size_t at = 0;
  std::uint32_t flags = kBlake3ChunkStart;
  // Every block but the last is full; the last (possibly empty) is padded.
  while (size - at > kBlake3BlockSize) {
    cv = compress(cv, message + at, 0, kBlake3BlockSize, flags);
    flags = 0;
    at += kBlake3BlockSize;
  }
  const std::size_t tail = size - at;
  std::memset(block, 0, sizeof block);
  if (tail > 0) std::memcpy(block, message + at, tail);
  cv = compress(cv, block, 0, static_cast<std::uint32_t>(tail),
                flags | kBlake3ChunkEnd | kBlake3Root);
  for (int i = 0; i < 8; ++i) put_le32(out + 4 * i, cv.words[i]);
  wipe(block, sizeof block);
  wipe(&cv, sizeof cv);
}

}  // namespace quorvex
