// HMAC-SHA256 (RFC 2104) over two plain SHA-256 digests. libgcrypt's own
// HMAC copies the inner hash into a heap block that it frees unwiped, and
// treats a failed allocation there as fatal; here every intermediate stays
// in wiping storage and the only allocations are the two digest handles,
// whose failure is an ordinary std::bad_alloc.
// An HmacSha256 belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest.hpp"
#include "secret.hpp"

namespace quorvex {

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kSha256BlockSize = 64;

class HmacSha256 {
 public:
  // Any key length: a key longer than a block is hashed first, a shorter
  // one is filled with zero bytes.
  explicit HmacSha256(ByteView key);

  // Takes a new key and starts a new message, keeping the two digest
  // handles: HKDF's expand keys a second MAC with extract's output, and
  // opening a libgcrypt handle costs about as much as hashing a block.
  void rekey(ByteView key) noexcept;
  // Starts a new message under the same key.
  void reset() noexcept;
  void update(const void* data, std::size_t size) noexcept { inner_.update(data, size); }
  void update(ByteView data) noexcept { inner_.update(data); }
  // Writes the 32-byte MAC of the message; reset() before the next one.
  void finish(std::uint8_t* out) noexcept;

 private:
  Digest inner_, outer_;
  SecretArray<kSha256BlockSize> inner_pad_, outer_pad_;  // key ^ 0x36.., key ^ 0x5c..
};

}  // namespace quorvex
