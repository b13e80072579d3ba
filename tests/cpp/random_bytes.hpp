// Reproducible pseudo-random bytes for test images and benchmark inputs
// (the benchmarks include this header too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace quorvex::testing {

// The same `seed` gives the same bytes on every run and machine.
inline std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

}  // namespace quorvex::testing
