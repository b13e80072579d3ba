// The BLAKE3 compression function at each SIMD level, and a one-chunk hash
// over it: no hasher object, no chunk stack. The BLAKE3 walk compiles the
// same rounds (blake3_rounds.hpp) into its own per-level code, with its
// accumulator's work between them; these entry points are the compression
// alone, which the tests hold to the library at every level. Pure
// functions; safe to call from any thread.
//
// Why not the library's own compression: the BLAKE3 C sources we build
// declare blake3_compress_in_place only in their private blake3_impl.h, and
// the packaged shared library (Debian 13's libblake3) does not export it,
// so it is no stable entry point. The function below follows the BLAKE3
// paper's definition; tests hold it to the library's public hasher.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu_features.hpp"

namespace quorvex {

inline constexpr std::size_t kBlake3BlockSize = 64;
inline constexpr std::size_t kBlake3ChunkSize = 1024;
inline constexpr std::size_t kBlake3OutSize = 32;

// Domain flags of a compression.
inline constexpr std::uint32_t kBlake3ChunkStart = 1u << 0;
inline constexpr std::uint32_t kBlake3ChunkEnd = 1u << 1;
inline constexpr std::uint32_t kBlake3Root = 1u << 3;

// The first eight words of SHA-256's initial hash value: the key of plain
// hashing.
inline constexpr std::uint32_t kBlake3Iv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                               0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// The chaining value: eight 32-bit words.
struct Blake3ChainingValue {
  std::uint32_t words[8];
};

// One compression of a 64-byte block (zero-padded past block_length) under
// chaining value `cv`, with the chunk counter and flags; returns the first
// eight output words, which are both the next chaining value and the first
// 32 bytes of a root output.
using Blake3Compression = Blake3ChainingValue (*)(const Blake3ChainingValue& cv,
                                                  const std::uint8_t* block, std::uint64_t counter,
                                                  std::uint32_t block_length,
                                                  std::uint32_t flags) noexcept;

// The compression of a level; a level above the CPU's gives the CPU's.
Blake3Compression blake3_compression(SimdLevel level) noexcept;

// The standard 32-byte BLAKE3 hash of a message of at most one chunk
// (1024 bytes), as the library's hasher gives it.
void blake3_hash_chunk(const std::uint8_t* message, std::size_t size, std::uint8_t* out,
                       Blake3Compression compress) noexcept;

}  // namespace quorvex
