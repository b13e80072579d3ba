// Reproducible pseudo-random bytes for test images and benchmark inputs
// (the benchmarks include this header too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace quorvex::testing {

// The next `size` bytes of a test's own generator.
inline std::vector<std::uint8_t> random_bytes(std::size_t size, std::mt19937& rng) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// The same `seed` gives the same bytes on every run and machine.
inline std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  return random_bytes(size, rng);
}

}  // namespace quorvex::testing
