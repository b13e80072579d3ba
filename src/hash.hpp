// Thin RAII wrappers over the two hashing libraries. Everything else in the
// core hashes through these, so library quirks live in one place.
// A Digest or Blake3 object belongs to one thread at a time.
#pragma once

#include <blake3.h>
#include <gcrypt.h>

#include <cstddef>
#include <cstdint>

#include "secret.hpp"

namespace quorvex {

// Makes libgcrypt usable the way a library (not an application) should:
// checks the version and finishes initialization only if nobody has.
// Safe to call from any thread, any number of times.
void ensure_gcrypt();

// One open libgcrypt message digest (SHA3-256, SHA3-512 or HMAC-SHA256).
// Opened once, reset per use; libgcrypt wipes its state on close.
class Digest {
 public:
  explicit Digest(int algorithm, unsigned flags = 0);
  ~Digest() { gcry_md_close(handle_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  // Sets the HMAC key; the handle must have been opened with the HMAC flag.
  void set_key(ByteView key);
  void reset() noexcept { gcry_md_reset(handle_); }
  void update(const void* data, std::size_t size) noexcept { gcry_md_write(handle_, data, size); }
  void update(ByteView data) noexcept { update(data.data(), data.size()); }
  // Finalizes and copies the digest (size() bytes) to out. The handle must
  // be reset before it absorbs anything else.
  void finish(std::uint8_t* out) noexcept;
  std::size_t size() const noexcept { return size_; }

 private:
  gcry_md_hd_t handle_ = nullptr;
  int algorithm_;
  std::size_t size_;
};

inline constexpr std::size_t kBlake3Size = BLAKE3_OUT_LEN;

// A BLAKE3 hasher on the stack, for one long input (update, finish) or for
// many small one-shot hashes (hash); its state is wiped when it goes out of
// scope.
class Blake3 {
 public:
  // Plain hashing.
  Blake3() noexcept { blake3_hasher_init(&state_); }
  // Key-derivation mode with a raw context string (any bytes, NULs too).
  explicit Blake3(ByteView derive_key_context) noexcept {
    blake3_hasher_init_derive_key_raw(&state_, derive_key_context.data(),
                                      derive_key_context.size());
  }
  ~Blake3() { wipe(&state_, sizeof state_); }
  Blake3(const Blake3&) = delete;
  Blake3& operator=(const Blake3&) = delete;

  void update(const void* data, std::size_t size) noexcept {
    blake3_hasher_update(&state_, data, size);
  }
  // The first `size` bytes of the output (default: the standard 32).
  void finish(std::uint8_t* out, std::size_t size = kBlake3Size) const noexcept {
    blake3_hasher_finalize(&state_, out, size);
  }
  // A complete one-shot hash of data; the hasher's mode and key are kept.
  void hash(const void* data, std::size_t size, std::uint8_t out[kBlake3Size]) noexcept {
    blake3_hasher_reset(&state_);
    update(data, size);
    finish(out);
  }

 private:
  blake3_hasher state_;
};

}  // namespace quorvex
