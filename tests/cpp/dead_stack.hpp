// Reading what called functions left below the caller's frame: the tests
// that hold the kernels to wiping their key material.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::testing {

// Copies of `Piece`-byte pieces of `secrets` in the `Depth` bytes of stack
// below the caller's frame, where the functions it called last kept their
// locals.
template <std::size_t Depth, std::size_t Piece = 16>
[[gnu::noinline]] int copies_on_dead_stack(const std::vector<std::uint8_t>& secrets) {
  unsigned char region[Depth];
  asm volatile("" : : "r"(region) : "memory");  // whatever is there, the compiler cannot know
  int copies = 0;
  for (std::size_t at = 0; at + Piece <= secrets.size(); at += Piece) {
    const auto piece = secrets.begin() + static_cast<std::ptrdiff_t>(at);
    for (auto found = std::search(region, region + Depth, piece, piece + Piece);
         found != region + Depth;
         found = std::search(found + 1, region + Depth, piece, piece + Piece)) {
      ++copies;
    }
  }
  return copies;
}

}  // namespace quorvex::testing
