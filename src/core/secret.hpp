// Containers for key material: whatever they held is wiped before their
// memory goes back to the allocator, on every path out of a call.
#pragma once

#include <string.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "cpu_features.hpp"

namespace quorvex {

using ByteView = std::span<const std::uint8_t>;

inline void wipe(void* data, std::size_t size) noexcept { explicit_bzero(data, size); }

// How deep below a frame its callees' locals can lie: our own hashing
// kernels stay well under 2 KiB; the libraries' call chains (BLAKE3's
// finalisation and multi-chunk paths) take a few KiB, libgcrypt's digests
// (1.10) under 1 KiB. Unoptimised builds
// (the sanitizer runs) give every inlined round its own stack slots, and
// the BLAKE3 walk's kernels then take up to about 33 KiB. The lane walks
// hold 16 chunks' states in frames of up to 20 KiB (30 KiB for one
// unoptimised frame alone).
#if defined(__OPTIMIZE__)
inline constexpr std::size_t kKernelStackDepth = 4 * 1024;
inline constexpr std::size_t kLibraryStackDepth = 16 * 1024;
inline constexpr std::size_t kLaneStackDepth = 32 * 1024;
#else
inline constexpr std::size_t kKernelStackDepth = 64 * 1024;
inline constexpr std::size_t kLibraryStackDepth = 64 * 1024;
inline constexpr std::size_t kLaneStackDepth = 160 * 1024;
#endif
// libgcrypt is built optimised whatever we are; our own frames around it
// are not, in the sanitizer runs.
inline constexpr std::size_t kDigestStackDepth = kKernelStackDepth;

// Clears `Depth` bytes of stack below the caller's frame, where the
// functions it called have left their locals, and then the vector
// registers, through which the last of the key material passed. For code
// that cannot wipe its own locals (a library's hash finalisation, a SIMD
// kernel's register spills); libgcrypt burns its stack the same way, but
// leaves its registers (and our copies of its output) to whatever runs
// next, which may be a signal frame that stores them on the stack. Not
// inlined, so its buffer lies below the caller's frame, over the callees'
// old frames; explicit_bzero cannot be optimised away. Not instrumented by
// AddressSanitizer either: its redzone above the buffer (256 bytes for one
// this size) would leave the top of the callees' frames, where a library's
// finalisation keeps its last input block, out of the wipe.
template <std::size_t Depth>
[[gnu::noinline, gnu::no_sanitize_address]] void wipe_dead_stack() noexcept {
  unsigned char region[Depth];
  explicit_bzero(region, sizeof region);
  asm volatile("" : : "r"(region) : "memory");
  wipe_vector_registers();
}

// Wipes the dead stack when the scope that declares it ends, on every path
// out: declare it first in the function whose callees handle the key
// material, so the wipe runs from that function's own frame, above every
// frame they used. The destructor is inlined in unoptimised builds too: a
// frame of its own would sit between the two and push the wipe below the
// top of the callees' frames.
template <std::size_t Depth>
struct DeadStackWipe {
  DeadStackWipe() noexcept = default;
  DeadStackWipe(const DeadStackWipe&) = delete;
  DeadStackWipe& operator=(const DeadStackWipe&) = delete;
  [[gnu::always_inline]] ~DeadStackWipe() { wipe_dead_stack<Depth>(); }
};

// Allocator that wipes a block before handing it back to `Base` (the
// standard allocator; a test puts in one that looks at what it gets back),
// so a std::vector of secrets never leaves a copy behind, not even when it
// grows.
template <class T, class Base = std::allocator<T>>
struct WipingAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other =
        WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };
  WipingAllocator() noexcept = default;
  template <class U, class OtherBase>
  WipingAllocator(const WipingAllocator<U, OtherBase>&) noexcept {}
  T* allocate(std::size_t n) { return Base{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe(p, n * sizeof(T));
    Base{}.deallocate(p, n);
  }
  template <class U, class OtherBase>
  bool operator==(const WipingAllocator<U, OtherBase>&) const noexcept {
    return true;
  }
};

using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Fixed-size secret on the stack, wiped when it goes out of scope.
template <std::size_t N>
struct SecretArray : std::array<std::uint8_t, N> {
  SecretArray() noexcept : std::array<std::uint8_t, N>{} {}
  SecretArray(const SecretArray&) = default;
  SecretArray& operator=(const SecretArray&) = default;
  ~SecretArray() { wipe(this->data(), N); }
};

inline ByteView as_bytes(const void* data, std::size_t size) noexcept {
  return {static_cast<const std::uint8_t*>(data), size};
}

}  // namespace quorvex
