// Which vector instructions the hashing kernels may use. The module is one
// shared object for every x86-64 CPU, so the kernels are compiled for each
// level with per-function target attributes and chosen at run time.
// Safe to call from any thread.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

// Ordered: each level includes everything of the levels below it.
enum class SimdLevel {
  scalar = 0,  // plain 64-bit code: any CPU
  avx2 = 1,    // AVX2, BMI1 and BMI2
  avx512 = 2,  // AVX-512 F and VL on top of avx2
};

inline constexpr SimdLevel kAllSimdLevels[] = {SimdLevel::scalar, SimdLevel::avx2,
                                               SimdLevel::avx512};

// The highest level this CPU and operating system support.
SimdLevel supported_simd_level() noexcept;

// The level the walks use: the supported level, lowered (never raised) by
// the environment variable QUORVEX_SIMD_LEVEL ("scalar", "avx2" or "avx512")
// so that tests can run every level. Read once per process; a value that
// names no level (an empty one is as if unset) is ignored with one warning
// on standard error, simd_level_warning's.
SimdLevel active_simd_level() noexcept;

// The warning for a QUORVEX_SIMD_LEVEL value that names no level, with the
// names it accepts and the level used instead; empty for a level's name,
// an empty value or none (null).
std::string simd_level_warning(const char* forced, SimdLevel supported);

// The level for a QUORVEX_SIMD_LEVEL value (null when unset) on a CPU that
// supports `supported`: the named level if it is lower, else `supported`.
SimdLevel choose_simd_level(const char* forced, SimdLevel supported) noexcept;

const char* simd_level_name(SimdLevel level) noexcept;

// Zeroes every vector register this CPU has: on x86-64 xmm, ymm and zmm,
// all 16 or 32 of them; on aarch64 v0-v31, but for the low halves of
// v8-v15, which every function must preserve for its callers. No calling
// convention clears them, so whatever key material last passed through
// them (a copy, a digest's output, a kernel's state) stays there after a
// call returns, until the kernel writes them into a signal frame on the
// stack or a lazily bound call's resolver saves them there. Safe to call
// from any thread.
void wipe_vector_registers() noexcept;

// The variant of `level`, capped at the CPU's: the one place where a
// kernel's per-level variants are chosen.
template <class Kernel>
Kernel kernel_for(SimdLevel level, Kernel scalar, Kernel avx2, Kernel avx512) noexcept {
  switch (std::min(level, supported_simd_level())) {
    case SimdLevel::avx512:
      return avx512;
    case SimdLevel::avx2:
      return avx2;
    default:
      return scalar;
  }
}
std::optional<SimdLevel> parse_simd_level(std::string_view name) noexcept;

}  // namespace quorvex
