// Keccak-f[1600], the permutation under SHA-3, for one state or for two
// independent states at once. Pure functions; safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu_features.hpp"

namespace quorvex {

inline constexpr std::size_t kKeccakLanes = 25;
inline constexpr std::size_t kKeccakStateSize = kKeccakLanes * 8;

// The 1600-bit state as 25 lanes, lane x + 5 y holding bytes 8 (x + 5 y)
// to 8 (x + 5 y) + 7 of the state, least significant byte first.
struct KeccakState {
  std::uint64_t lanes[kKeccakLanes] = {};
};

// Permutes one state in place.
using KeccakPermutation = void (*)(KeccakState& state) noexcept;

// Permutes `first` and, unless `second` is null, `second`. The vector
// levels carry the two states in the two halves of 128-bit registers, so
// the pair costs less than two scalar permutations (at avx512, less than
// one); the scalar level permutes them one after the other.
using KeccakPairPermutation = void (*)(KeccakState& first, KeccakState* second) noexcept;

struct KeccakKernels {
  KeccakPermutation single;
  KeccakPairPermutation pair;
};

// The kernels of a level; a level above the CPU's gives the CPU's.
KeccakKernels keccak_kernels(SimdLevel level) noexcept;

}  // namespace quorvex
