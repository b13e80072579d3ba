#include "hmac_sha256.hpp"

#include <algorithm>

namespace quorvex {

HmacSha256::HmacSha256(ByteView key) : inner_(GCRY_MD_SHA256), outer_(GCRY_MD_SHA256) {
  rekey(key);
}

void HmacSha256::rekey(ByteView key) noexcept {
  SecretArray<kSha256BlockSize> block;  // the key, zero-filled to a block
  if (key.size() > kSha256BlockSize) {
    inner_.reset();
    inner_.update(key);
    inner_.finish(block.data());
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  for (std::size_t i = 0; i < kSha256BlockSize; ++i) {
    inner_pad_[i] = static_cast<std::uint8_t>(block[i] ^ 0x36);
    outer_pad_[i] = static_cast<std::uint8_t>(block[i] ^ 0x5c);
  }
  // The key, its block and the pads have passed through the vector
  // registers (the copy, the XOR): the next lazily bound call (libgcrypt's,
  // the first time) or signal frame would store them on the stack.
  wipe_vector_registers();
  reset();
}

void HmacSha256::reset() noexcept {
  inner_.reset();
  inner_.update(inner_pad_.data(), inner_pad_.size());
}

void HmacSha256::finish(std::uint8_t* out) noexcept {
  SecretArray<kSha256Size> inner_hash;
  inner_.finish(inner_hash.data());
  outer_.reset();
  outer_.update(outer_pad_.data(), outer_pad_.size());
  outer_.update(inner_hash.data(), inner_hash.size());
  outer_.finish(out);
}

}  // namespace quorvex
