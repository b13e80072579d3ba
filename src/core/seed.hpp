// The initial seed: SHA3-512 over image hash, nonce, timestamp and version.
// Pure; safe to call from any thread.
#pragma once

#include <cstdint>

#include "secret.hpp"

namespace quorvex {

inline constexpr std::size_t kSeedSize = 64;

// A 32-byte image hash enters as its 64-character lowercase hex text; any
// other length enters raw. The timestamp enters as decimal text. Returns
// the 64-byte seed.
SecretBytes generate_initial_seed(ByteView image_hash, ByteView nonce, std::uint64_t timestamp,
                                  ByteView version);

}  // namespace quorvex
