// The 24 rounds of Keccak-f[1600] written once, for any lane type that has
// the bitwise operators and shifts of a 64-bit integer: std::uint64_t for
// one state, a GCC vector of two 64-bit integers for two states side by
// side. The body is always inlined into a caller compiled for a particular
// instruction set (a per-function target attribute), so the same source
// becomes BMI2 scalar code, AVX2 vector code, or AVX-512VL code with
// three-input logic (vpternlogq) and rotations (vprolq), and no copy
// compiled for one level can be picked up by the linker for another.
//
// The tables are derived from the permutation's definition at compile
// time: rotation offsets and lane positions from the (x, y) walk of the
// rho step, round constants from the rc(t) linear feedback register.
// Private to the Keccak kernels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvex::keccak_detail {

inline constexpr int kRounds = 24;

// rho offsets r[x + 5 y]: (x, y) starts at (1, 0); step t gives offset
// (t + 1)(t + 2) / 2 mod 64 and moves to (y, 2x + 3y mod 5).
constexpr std::array<int, 25> rho_offsets() {
  std::array<int, 25> offsets{};
  int x = 1, y = 0;
  for (int t = 0; t < 24; ++t) {
    offsets[x + 5 * y] = ((t + 1) * (t + 2) / 2) % 64;
    const int next_y = (2 * x + 3 * y) % 5;
    x = y;
    y = next_y;
  }
  return offsets;
}

// pi moves lane (x, y) to (y, 2x + 3y mod 5): the index it lands on.
constexpr std::array<int, 25> pi_targets() {
  std::array<int, 25> targets{};
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) targets[x + 5 * y] = y + 5 * ((2 * x + 3 * y) % 5);
  }
  return targets;
}

// rc(t): bit 0 of the LFSR x^8 + x^6 + x^5 + x^4 + 1 after t steps.
constexpr bool rc_bit(int t) {
  if (t % 255 == 0) return true;
  unsigned r = 0x01;  // R = 10000000, R[0] in bit 0
  for (int i = 1; i <= t % 255; ++i) {
    r <<= 1;                    // R = 0 || R, R[8] now in bit 8
    if (r & 0x100) r ^= 0x171;  // R[0], R[4], R[5], R[6] ^= R[8]; drop R[8]
  }
  return (r & 1) != 0;
}

// RC of round i: bit 2^j - 1 is rc(j + 7 i) for j = 0..6.
constexpr std::array<std::uint64_t, kRounds> round_constants() {
  std::array<std::uint64_t, kRounds> constants{};
  for (int round = 0; round < kRounds; ++round) {
    for (int j = 0; j < 7; ++j) {
      if (rc_bit(j + 7 * round)) constants[round] |= std::uint64_t{1} << ((1 << j) - 1);
    }
  }
  return constants;
}

inline constexpr std::array<int, 25> kRho = rho_offsets();
inline constexpr std::array<int, 25> kPi = pi_targets();
inline constexpr std::array<std::uint64_t, kRounds> kRoundConstants = round_constants();

static_assert(kRho[1] == 1 && kRho[2] == 62 && kRho[24] == 14 && kRho[0] == 0);
static_assert(kRoundConstants[0] == 0x1 && kRoundConstants[1] == 0x8082 &&
              kRoundConstants[23] == 0x8000000080008008);

template <class Lane>
[[gnu::always_inline]] inline Lane rotate_left(Lane v, int n) noexcept {
  if (n == 0) return v;
  return (v << n) | (v >> (64 - n));
}

// pi as a gather: the lane that lands on each position.
constexpr std::array<int, 25> pi_sources() {
  std::array<int, 25> sources{};
  for (int i = 0; i < 25; ++i) sources[kPi[i]] = i;
  return sources;
}
inline constexpr std::array<int, 25> kPiSource = pi_sources();
static_assert(kPiSource[kPi[7]] == 7 && kPiSource[0] == 0);

// One round from `a` into `e`. Each output row is computed in one go: its
// five inputs gathered through pi, each with its theta column term XORed
// in and rotated by rho, then chi and iota. Reading a and writing a second
// array lets the compiler keep the state in registers across rounds
// instead of storing the theta and rho-pi intermediates.
template <class Lane>
[[gnu::always_inline]] inline void round(const Lane (&a)[25], Lane (&e)[25],
                                         std::uint64_t round_constant) noexcept {
  Lane c[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  Lane d[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotate_left(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
  for (int y = 0; y < 25; y += 5) {
    Lane b[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
      const int source = kPiSource[y + x];
      b[x] = rotate_left(a[source] ^ d[source % 5], kRho[source]);
    }
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) e[y + x] = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]);
  }
  e[0] ^= round_constant;
}

// Rounds first .. first + count - 1 (count even), ping-ponging between
// `a` and a scratch array; the result is back in `a`.
template <class Lane>
[[gnu::always_inline]] inline void rounds(Lane (&a)[25], int first, int count) noexcept {
  Lane e[25];
#pragma GCC unroll 1
  for (int r = first; r < first + count; r += 2) {
    round(a, e, kRoundConstants[r]);
    round(e, a, kRoundConstants[r + 1]);
  }
}

// Two rounds per loop pass: a fully unrolled permutation is about 40 KiB
// of code, past the decoded-instruction cache, and measured slower in the
// walks.
template <class Lane>
[[gnu::always_inline]] inline void permute(Lane (&a)[25]) noexcept {
  rounds(a, 0, kRounds);
}

}  // namespace quorvex::keccak_detail
