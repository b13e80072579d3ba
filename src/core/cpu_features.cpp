#include "cpu_features.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace quorvex {
namespace {

SimdLevel detect() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  // GCC's cpu model also checks that the operating system saves the vector
  // registers (XCR0) before it reports an AVX or AVX-512 feature.
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2");
  const bool avx512 =
      avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  if (avx512) return SimdLevel::avx512;
  if (avx2) return SimdLevel::avx2;
#endif
  return SimdLevel::scalar;
}

#if defined(__x86_64__) && defined(__GNUC__)

// The register files, in order: each includes the one before it.
enum class VectorRegisters { sse, avx, avx512 };

VectorRegisters detect_vector_registers() noexcept {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return VectorRegisters::avx512;
  if (__builtin_cpu_supports("avx")) return VectorRegisters::avx;
  return VectorRegisters::sse;
}

#define QUORVEX_XMM_0_15                                                                     \
  "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
      "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"

void zero_sse_registers() noexcept {
  asm volatile(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
      "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
      "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
      "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
      "pxor %%xmm15, %%xmm15" ::: QUORVEX_XMM_0_15);
}

// vzeroall clears all of ymm0-15 (zmm0-15 on an AVX-512 CPU).
[[gnu::target("avx")]] void zero_avx_registers() noexcept {
  asm volatile("vzeroall" ::: QUORVEX_XMM_0_15);
}

// vzeroall does not reach zmm16-31, which glibc's own memcpy and memset
// use on such CPUs; an EVEX-encoded write of an xmm register clears the
// whole zmm register.
[[gnu::target("avx512f")]] void zero_avx512_registers() noexcept {
  asm volatile(
      "vzeroall\n\t"
      "vpxord %%xmm16, %%xmm16, %%xmm16\n\tvpxord %%xmm17, %%xmm17, %%xmm17\n\t"
      "vpxord %%xmm18, %%xmm18, %%xmm18\n\tvpxord %%xmm19, %%xmm19, %%xmm19\n\t"
      "vpxord %%xmm20, %%xmm20, %%xmm20\n\tvpxord %%xmm21, %%xmm21, %%xmm21\n\t"
      "vpxord %%xmm22, %%xmm22, %%xmm22\n\tvpxord %%xmm23, %%xmm23, %%xmm23\n\t"
      "vpxord %%xmm24, %%xmm24, %%xmm24\n\tvpxord %%xmm25, %%xmm25, %%xmm25\n\t"
      "vpxord %%xmm26, %%xmm26, %%xmm26\n\tvpxord %%xmm27, %%xmm27, %%xmm27\n\t"
      "vpxord %%xmm28, %%xmm28, %%xmm28\n\tvpxord %%xmm29, %%xmm29, %%xmm29\n\t"
      "vpxord %%xmm30, %%xmm30, %%xmm30\n\tvpxord %%xmm31, %%xmm31, %%xmm31" ::: QUORVEX_XMM_0_15,
      "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25",
      "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

#undef QUORVEX_XMM_0_15

#elif defined(__aarch64__) && defined(__GNUC__)

// The procedure call standard makes a callee preserve the low halves of
// v8-v15 (d8-d15): they hold our callers' live values, so only their high
// halves are cleared. Declaring them clobbered instead would make the
// compiler save d8-d15 in this function's frame, leaving a copy of
// whatever they hold on the stack. The asm does change those high halves
// undeclared, which the standard allows a callee to do; noipa makes every
// caller assume just that, where GCC would otherwise read the clobbers off
// this body (-fipa-ra, with LTO too) and keep a whole q8-q15 value across
// the call. A NEON write also clears the bits above 128 of an SVE register.
[[gnu::noipa]] void zero_neon_registers() noexcept {
  asm volatile(
      "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\tmovi v3.16b, #0\n\t"
      "movi v4.16b, #0\n\tmovi v5.16b, #0\n\tmovi v6.16b, #0\n\tmovi v7.16b, #0\n\t"
      "mov v8.d[1], xzr\n\tmov v9.d[1], xzr\n\tmov v10.d[1], xzr\n\tmov v11.d[1], xzr\n\t"
      "mov v12.d[1], xzr\n\tmov v13.d[1], xzr\n\tmov v14.d[1], xzr\n\tmov v15.d[1], xzr\n\t"
      "movi v16.16b, #0\n\tmovi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
      "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\tmovi v23.16b, #0\n\t"
      "movi v24.16b, #0\n\tmovi v25.16b, #0\n\tmovi v26.16b, #0\n\tmovi v27.16b, #0\n\t"
      "movi v28.16b, #0\n\tmovi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0" ::
          : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20",
            "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
}

#endif

}  // namespace

void wipe_vector_registers() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  static const VectorRegisters registers = detect_vector_registers();
  switch (registers) {
    case VectorRegisters::avx512:
      zero_avx512_registers();
      break;
    case VectorRegisters::avx:
      zero_avx_registers();
      break;
    case VectorRegisters::sse:
      zero_sse_registers();
      break;
  }
#elif defined(__aarch64__) && defined(__GNUC__)
  zero_neon_registers();
#endif
}

SimdLevel choose_simd_level(const char* forced, SimdLevel supported) noexcept {
  if (forced == nullptr) return supported;
  const std::optional<SimdLevel> level = parse_simd_level(forced);
  return level ? std::min(*level, supported) : supported;
}

SimdLevel supported_simd_level() noexcept {
  static const SimdLevel level = detect();
  return level;
}

std::string simd_level_warning(const char* forced, SimdLevel supported) {
  if (forced == nullptr || *forced == '\0' || parse_simd_level(forced)) return {};
  std::string names;
  for (SimdLevel level : kAllSimdLevels) {
    names += names.empty() ? "" : ", ";
    names += simd_level_name(level);
  }
  return std::string("quorvex: QUORVEX_SIMD_LEVEL=") + forced + " names no level (" + names +
         "); using " + simd_level_name(choose_simd_level(forced, supported)) + "\n";
}

namespace {

SimdLevel level_from_environment() noexcept {
  const char* forced = std::getenv("QUORVEX_SIMD_LEVEL");
  const SimdLevel supported = supported_simd_level();
  try {
    const std::string warning = simd_level_warning(forced, supported);
    std::fputs(warning.c_str(), stderr);
  } catch (const std::bad_alloc&) {
    // No memory for the text: the level is still chosen, unannounced.
  }
  return choose_simd_level(forced, supported);
}

}  // namespace

SimdLevel active_simd_level() noexcept {
  // A function-local static: read, and warned about, once per process.
  static const SimdLevel level = level_from_environment();
  return level;
}

const char* simd_level_name(SimdLevel level) noexcept {
  switch (level) {
    case SimdLevel::avx512:
      return "avx512";
    case SimdLevel::avx2:
      return "avx2";
    case SimdLevel::scalar:
      break;
  }
  return "scalar";
}

std::optional<SimdLevel> parse_simd_level(std::string_view name) noexcept {
  for (SimdLevel level : kAllSimdLevels) {
    if (name == simd_level_name(level)) return level;
  }
  return std::nullopt;
}

}  // namespace quorvex
