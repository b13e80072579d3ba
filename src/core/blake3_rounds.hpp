// The seven rounds of the BLAKE3 compression function, written once over
// GCC vectors: the body is always inlined into a caller compiled for a
// particular instruction set (a per-function target attribute), so the
// same source is SSE2 code by default and uses vprord under AVX-512VL. Callers may run independent work between the rounds (the
// BLAKE3 walk runs Keccak rounds there, on the integer units that the
// compression leaves idle). Private to the BLAKE3 kernels.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "blake3_compress.hpp"
#include "byte_order.hpp"

namespace quorvex::blake3_detail {

inline constexpr int kRounds = 7;

// The 4 x 4 state is held as four rows of four words: the column step is
// one G on all four rows at once, the diagonal step the same after
// rotating rows 1, 2 and 3 left by 1, 2 and 3 words.
typedef std::uint32_t Row __attribute__((vector_size(16)));

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
inline constexpr auto kSchedule = message_schedule();
static_assert(kSchedule[1][0] == 2 && kSchedule[1][15] == 8 && kSchedule[2][0] == 3);

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

// A message block as four rows: words 0..3, 4..7, 8..11 and 12..15.
struct MessageRows {
  Row rows[4];
};

[[gnu::always_inline]] inline MessageRows load_rows(const std::uint8_t* block) noexcept {
  MessageRows m;
  for (int r = 0; r < 4; ++r) {
    for (int i = 0; i < 4; ++i) m.rows[r][i] = load_le32(block + 16 * r + 4 * i);
  }
  return m;
}

// The message words of one round, as G takes them: x and y of the column
// step, then of the diagonal step.
struct RoundWords {
  Row column_x, column_y, diagonal_x, diagonal_y;
};

// Round 0 takes the words in order, so its column step reads only rows 0
// and 1 and its diagonal step only rows 2 and 3: it can start on the first
// half of a block (the walk's chain value) while the second half (the
// pixels) is still being gathered.
[[gnu::always_inline]] inline RoundWords first_round_words(const MessageRows& m) noexcept {
  static_assert(kSchedule[0][0] == 0 && kSchedule[0][15] == 15);
  return {__builtin_shufflevector(m.rows[0], m.rows[1], 0, 2, 4, 6),
          __builtin_shufflevector(m.rows[0], m.rows[1], 1, 3, 5, 7),
          __builtin_shufflevector(m.rows[2], m.rows[3], 6, 0, 2, 4),
          __builtin_shufflevector(m.rows[2], m.rows[3], 7, 1, 3, 5)};
}

// The later rounds' words, gathered row by row from the block's sixteen
// words in memory (the caller's frame, which the callers' dead-stack wipe
// covers). Measured against keeping the block in one 64-byte vector and
// shuffling it per round: as fast under AVX-512 with GCC 12, faster with
// GCC 14, and without AVX-512 GCC 14 lowered those shuffles into code
// that made the walk nearly twice as slow.
struct WordArray {
  std::uint32_t w[16];
  explicit WordArray(const MessageRows& message) noexcept {
    for (int r = 0; r < 4; ++r) {
      for (int i = 0; i < 4; ++i) w[4 * r + i] = message.rows[r][i];
    }
  }
  // Lane i of the diagonal step works on the diagonal through v[4 + i]
  // (see round()), so it takes words 14/15, 8/9, 10/11 and 12/13 of the
  // round's order.
  template <int R>
  [[gnu::always_inline]] RoundWords round_words() const noexcept {
    constexpr const std::array<int, 16>& s = kSchedule[R];
    return {Row{w[s[0]], w[s[2]], w[s[4]], w[s[6]]}, Row{w[s[1]], w[s[3]], w[s[5]], w[s[7]]},
            Row{w[s[14]], w[s[8]], w[s[10]], w[s[12]]},
            Row{w[s[15]], w[s[9]], w[s[11]], w[s[13]]}};
  }
};

// One round. For the diagonal step rows a, c and d move and b stays: b is
// the last row G finishes, so no shuffle waits for it. Lane i then works on
// the diagonal through v[4 + i]: G(v3, v4, v9, v14) in lane 0, G(v0, v5,
// v10, v15) in lane 1, G(v1, v6, v11, v12) in lane 2, G(v2, v7, v8, v13) in
// lane 3.
[[gnu::always_inline]] inline void round(Row& a, Row& b, Row& c, Row& d,
                                         const RoundWords& w) noexcept {
  g(a, b, c, d, w.column_x, w.column_y);
  a = __builtin_shuffle(a, Row{3, 0, 1, 2});
  c = __builtin_shuffle(c, Row{1, 2, 3, 0});
  d = __builtin_shuffle(d, Row{2, 3, 0, 1});
  g(a, b, c, d, w.diagonal_x, w.diagonal_y);
  a = __builtin_shuffle(a, Row{1, 2, 3, 0});
  c = __builtin_shuffle(c, Row{3, 0, 1, 2});
  d = __builtin_shuffle(d, Row{2, 3, 0, 1});
}

// A chaining value as two rows: words 0..3 and 4..7.
struct ChainRows {
  Row low, high;
};

// Keeps a round's rows at this point of the program, so that the compiler
// does not gather the rounds into one block and move the work between them
// past it: interleaved, the two run side by side.
[[gnu::always_inline]] inline void hold(Row& a, Row& b, Row& c, Row& d) noexcept {
#if defined(__x86_64__)
  asm volatile("" : "+x"(a), "+x"(b), "+x"(c), "+x"(d));
#elif defined(__aarch64__)
  asm volatile("" : "+w"(a), "+w"(b), "+w"(c), "+w"(d));
#endif
}

// Does nothing between rounds.
struct NoWork {
  template <int R>
  void operator()(std::integral_constant<int, R>) const noexcept {}
};

// Round R, then the caller's work for it: the rows are held in place first
// (not after the last round, whose work may wait).
template <int R, class Between>
[[gnu::always_inline]] inline void round_then(Row& a, Row& b, Row& c, Row& d, const RoundWords& w,
                                              Between& between) noexcept {
  round(a, b, c, d, w);
  if constexpr (R + 1 < kRounds) hold(a, b, c, d);
  between(std::integral_constant<int, R>{});
}

template <class Between, int... R>
[[gnu::always_inline]] inline void later_rounds(Row& a, Row& b, Row& c, Row& d,
                                                const WordArray& words,
                                                Between& between,
                                                std::integer_sequence<int, R...>) noexcept {
  (round_then<R + 1>(a, b, c, d, words.template round_words<R + 1>(), between), ...);
}

// One compression; after round R it calls between(integral_constant<R>).
// Returns the first eight output words: the next chaining value, and the
// first 32 bytes of a root output.
template <class Between = NoWork>
[[gnu::always_inline]] inline ChainRows compress(ChainRows cv, const MessageRows& message,
                                                 std::uint64_t counter, std::uint32_t block_length,
                                                 std::uint32_t flags,
                                                 Between&& between = {}) noexcept {
  Row a = cv.low, b = cv.high;
  Row c = {kBlake3Iv[0], kBlake3Iv[1], kBlake3Iv[2], kBlake3Iv[3]};
  Row d = {static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
           block_length, flags};
  round_then<0>(a, b, c, d, first_round_words(message), between);
  const WordArray words(message);
  later_rounds(a, b, c, d, words, between, std::make_integer_sequence<int, kRounds - 1>{});
  return {a ^ c, b ^ d};
}

[[gnu::always_inline]] inline ChainRows to_rows(const Blake3ChainingValue& cv) noexcept {
  return {Row{cv.words[0], cv.words[1], cv.words[2], cv.words[3]},
          Row{cv.words[4], cv.words[5], cv.words[6], cv.words[7]}};
}

[[gnu::always_inline]] inline Blake3ChainingValue to_words(ChainRows rows) noexcept {
  Blake3ChainingValue out;
  for (int i = 0; i < 4; ++i) {
    out.words[i] = rows.low[i];
    out.words[i + 4] = rows.high[i];
  }
  return out;
}

inline constexpr ChainRows kIvRows = {Row{kBlake3Iv[0], kBlake3Iv[1], kBlake3Iv[2], kBlake3Iv[3]},
                                      Row{kBlake3Iv[4], kBlake3Iv[5], kBlake3Iv[6], kBlake3Iv[7]}};

}  // namespace quorvex::blake3_detail
