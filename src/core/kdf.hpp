// Final-key derivation: the pool expansion shared by both derivations,
// HKDF-SHA256 (RFC 5869) and BLAKE3 derive-key. Pure; safe to call from
// any thread.
#pragma once

#include <cstdint>

#include "secret.hpp"

namespace quorvex {

inline constexpr std::size_t kExpandedPoolSize = 128;
inline constexpr std::size_t kPrkSize = 32;  // one SHA-256 output
// RFC 5869: HKDF-Expand produces at most 255 blocks.
inline constexpr std::size_t kHkdfMaxOutput = 255 * kPrkSize;

using ExpandedPool = SecretArray<kExpandedPoolSize>;
using Prk = SecretArray<kPrkSize>;

// SHA3-256(pool ‖ BE32(i)) for i = 0..3, concatenated. Cannot fail.
ExpandedPool expand_pool(ByteView pool);

// Throws Panic unless key_size is 16, 32 or 64.
void check_key_size(std::uint64_t key_size);

// HKDF-Extract over HMAC-SHA256; the salt is used as given, any length.
Prk hkdf_extract(ByteView salt, ByteView input_key_material);

// HKDF-Expand over HMAC-SHA256. Throws HkdfError past 255 blocks.
SecretBytes hkdf_expand(ByteView prk, ByteView info, std::uint64_t length);

SecretBytes derive_key_hkdf(ByteView entropy_pool, ByteView salt, ByteView info,
                            std::uint64_t key_size);

// The context is raw bytes (UTF-8 from Python); NUL bytes are allowed.
SecretBytes derive_key_blake3(ByteView entropy_pool, ByteView context, std::uint64_t key_size);

}  // namespace quorvex
