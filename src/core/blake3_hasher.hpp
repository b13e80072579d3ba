// A thin RAII wrapper over the BLAKE3 library's hasher. A Blake3 object
// belongs to one thread at a time.
#pragma once

#include <blake3.h>

#include <cstddef>
#include <cstdint>

#include "secret.hpp"

namespace quorvex {

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
