// Reading what called functions left below the caller's frame: the tests
// that hold the kernels to wiping their key material.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "secret.hpp"

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

// What a signal that lands right after a call does: the kernel stores the
// register file, the vector registers included, in a frame below the
// current one, where it stays after the handler returns. Call it between
// the call under test and the scan, so that whatever of a secret the call
// left in a register is found on the stack too.
inline void spill_registers() {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    return sigaction(SIGURG, &action, nullptr) == 0;
  }();
  if (installed) raise(SIGURG);
}

// spill_registers() with the signal frame `Below` bytes under the caller's
// frame, past the stack that the call under test used: the frame would
// otherwise cover what that call left there. Scan Below + kSignalFrameRoom.
inline constexpr std::size_t kSignalFrameRoom = 16 * 1024;  // xsave area, handler, sanitizers'

template <std::size_t Below>
[[gnu::noinline]] void spill_registers_below() {
  unsigned char untouched[Below];
  asm volatile("" : : "r"(untouched) : "memory");
  spill_registers();
}

// Copies of `pieces` (from telling_pieces) that `call` leaves on the stack
// under the caller, CallDepth deep at most, or in the vector registers. The
// scan starts on a stack wiped of earlier calls.
template <std::size_t CallDepth, class Call>
int copies_left_by(const std::vector<std::uint8_t>& pieces, Call call) {
  wipe_dead_stack<CallDepth + kSignalFrameRoom>();
  call();
  spill_registers_below<CallDepth>();
  return copies_on_dead_stack<CallDepth + kSignalFrameRoom>(pieces);
}

// 16-byte pieces of `secrets` that are not all one byte value (a run of
// zeros or a fill is no secret: the stack is full of them).
inline std::vector<std::uint8_t> telling_pieces(const std::vector<std::uint8_t>& secrets) {
  std::vector<std::uint8_t> pieces;
  for (std::size_t at = 0; at + 16 <= secrets.size(); at += 16) {
    const auto begin = secrets.begin() + static_cast<std::ptrdiff_t>(at);
    if (std::all_of(begin, begin + 16, [&](std::uint8_t b) { return b == *begin; })) continue;
    pieces.insert(pieces.end(), begin, begin + 16);
  }
  return pieces;
}

}  // namespace quorvex::testing
