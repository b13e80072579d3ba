#include "cpu_features.hpp"

#include <algorithm>
#include <cstdlib>

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

}  // namespace

SimdLevel choose_simd_level(const char* forced, SimdLevel supported) noexcept {
  if (forced == nullptr) return supported;
  const std::optional<SimdLevel> level = parse_simd_level(forced);
  return level ? std::min(*level, supported) : supported;
}

SimdLevel supported_simd_level() noexcept {
  static const SimdLevel level = detect();
  return level;
}

SimdLevel active_simd_level() noexcept {
  static const SimdLevel level =
      choose_simd_level(std::getenv("QUORVEX_SIMD_LEVEL"), supported_simd_level());
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
