// A thin RAII wrapper over libgcrypt's message digests. Everything else in
// the core hashes with libgcrypt through it, so the library's quirks live in
// one place. A Digest belongs to one thread at a time.
#pragma once

#include <gcrypt.h>

#include <cstddef>
#include <cstdint>

#include "secret.hpp"

namespace quorvex {

// Makes libgcrypt usable the way a library (not an application) should:
// checks the version and finishes initialization only if nobody has.
// Safe to call from any thread, any number of times.
void ensure_gcrypt();

// One open libgcrypt message digest (SHA3-256, SHA3-512 or SHA-256).
// Opened once, reset per use; libgcrypt wipes its state on close.
class Digest {
 public:
  explicit Digest(int algorithm);
  ~Digest() { gcry_md_close(handle_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void reset() noexcept { gcry_md_reset(handle_); }
  void update(const void* data, std::size_t size) noexcept { gcry_md_write(handle_, data, size); }
  void update(ByteView data) noexcept { update(data.data(), data.size()); }
  // Finalizes and copies the digest (the algorithm's length in bytes) to
  // out. The handle must be reset before it absorbs anything else.
  void finish(std::uint8_t* out) noexcept;

 private:
  gcry_md_hd_t handle_ = nullptr;
  int algorithm_;
  std::size_t size_;
};

}  // namespace quorvex
