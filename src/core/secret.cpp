#include "secret.hpp"

namespace quorvex {
namespace {

// Deeper than any hashing call chain of ours goes (the BLAKE3 and libgcrypt
// frames take a few hundred bytes to a few KiB).
constexpr std::size_t kDeadStackSize = 16 * 1024;

}  // namespace

// Not inlined, so its buffer lies below the caller's frame, over the
// callees' old frames; explicit_bzero cannot be optimised away.
[[gnu::noinline]] void wipe_dead_stack() noexcept {
  unsigned char region[kDeadStackSize];
  explicit_bzero(region, sizeof region);
  asm volatile("" : : "r"(region) : "memory");
}

}  // namespace quorvex
