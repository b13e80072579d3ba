#include "hash_libraries.hpp"

#include "blake3_hasher.hpp"
#include "digest.hpp"

namespace quorvex {

void prepare_hash_libraries() {
  ensure_gcrypt();
  std::uint8_t digest[kBlake3Size];
  Blake3().hash(nullptr, 0, digest);
}

}  // namespace quorvex
