#include "keccak.hpp"


#include "keccak_rounds.hpp"

namespace quorvex {
namespace {

using keccak_detail::permute;

// Two 64-bit lanes of two different states, in one 128-bit register.
typedef std::uint64_t LanePair __attribute__((vector_size(16)));

// Loads, permutes and stores. Always inlined into the level's entry point,
// which fixes the instruction set.
[[gnu::always_inline]] inline void permute_one(KeccakState& state) noexcept {
  std::uint64_t a[kKeccakLanes];
  for (std::size_t i = 0; i < kKeccakLanes; ++i) a[i] = state.lanes[i];
  permute(a);
  for (std::size_t i = 0; i < kKeccakLanes; ++i) state.lanes[i] = a[i];
}

// Lanes i and i + 1 of both states go in and out as two 128-bit loads and
// stores per state and four shuffles, rather than lane by lane.
[[gnu::always_inline]] inline void permute_two(KeccakState& first, KeccakState& second) noexcept {
  LanePair a[kKeccakLanes];
  for (std::size_t i = 0; i + 1 < kKeccakLanes; i += 2) {
    LanePair f, s;
    __builtin_memcpy(&f, first.lanes + i, sizeof f);
    __builtin_memcpy(&s, second.lanes + i, sizeof s);
    a[i] = __builtin_shuffle(f, s, LanePair{0, 2});
    a[i + 1] = __builtin_shuffle(f, s, LanePair{1, 3});
  }
  a[kKeccakLanes - 1] = LanePair{first.lanes[kKeccakLanes - 1], second.lanes[kKeccakLanes - 1]};
  permute(a);
  for (std::size_t i = 0; i + 1 < kKeccakLanes; i += 2) {
    const LanePair f = __builtin_shuffle(a[i], a[i + 1], LanePair{0, 2});
    const LanePair s = __builtin_shuffle(a[i], a[i + 1], LanePair{1, 3});
    __builtin_memcpy(first.lanes + i, &f, sizeof f);
    __builtin_memcpy(second.lanes + i, &s, sizeof s);
  }
  first.lanes[kKeccakLanes - 1] = a[kKeccakLanes - 1][0];
  second.lanes[kKeccakLanes - 1] = a[kKeccakLanes - 1][1];
}

// --- scalar: any CPU -------------------------------------------------------

void single_scalar(KeccakState& state) noexcept { permute_one(state); }

void pair_scalar(KeccakState& first, KeccakState* second) noexcept {
  permute_one(first);
  if (second != nullptr) permute_one(*second);
}

#if defined(__x86_64__)

// --- avx2: BMI2 scalar for one state (rorx, andn), AVX2 for two -----------
// Without three-input logic and vector rotations a 2-lane permutation costs
// more than one scalar permutation (here 1.4 times) but less than two.

[[gnu::target("avx2,bmi,bmi2")]] void single_avx2(KeccakState& state) noexcept {
  permute_one(state);
}

[[gnu::target("avx2,bmi,bmi2")]] void pair_avx2(KeccakState& first, KeccakState* second) noexcept {
  if (second != nullptr) {
    permute_two(first, *second);
  } else {
    permute_one(first);
  }
}

// --- avx512: two states in the halves of xmm registers, vpternlogq/vprolq --
// The pair is quicker than one BMI2 scalar permutation (about 216 against
// 249 ns on a quiet Zen 4, and it suffers less when the core's other
// hardware thread is busy), so a lone state takes the same path with an
// idle partner.

[[gnu::target("avx512f,avx512vl,avx2,bmi,bmi2")]] void pair_avx512(KeccakState& first,
                                                                   KeccakState* second) noexcept {
  KeccakState idle;
  permute_two(first, second != nullptr ? *second : idle);
}

[[gnu::target("avx512f,avx512vl,avx2,bmi,bmi2")]] void single_avx512(KeccakState& state) noexcept {
  pair_avx512(state, nullptr);
}

#endif  // __x86_64__

}  // namespace

KeccakKernels keccak_kernels([[maybe_unused]] SimdLevel level) noexcept {
#if defined(__x86_64__)
  return kernel_for<KeccakKernels>(level, {single_scalar, pair_scalar}, {single_avx2, pair_avx2},
                                   {single_avx512, pair_avx512});
#else
  return {single_scalar, pair_scalar};
#endif
}

}  // namespace quorvex
