#include "blake3_compress.hpp"

#include <algorithm>
#include <cstring>

#include "blake3_rounds.hpp"
#include "byte_order.hpp"
#include "secret.hpp"

namespace quorvex {
namespace {

[[gnu::always_inline]] inline Blake3ChainingValue compress_rows(const Blake3ChainingValue& cv,
                                                                const std::uint8_t* block,
                                                                std::uint64_t counter,
                                                                std::uint32_t block_length,
                                                                std::uint32_t flags) noexcept {
  blake3_detail::MessageRows m = blake3_detail::load_rows(block);
  const Blake3ChainingValue out = blake3_detail::to_words(
      blake3_detail::compress(blake3_detail::to_rows(cv), m, counter, block_length, flags));
  wipe(&m, sizeof m);
  return out;
}

Blake3ChainingValue compress_scalar(const Blake3ChainingValue& cv, const std::uint8_t* block,
                                    std::uint64_t counter, std::uint32_t block_length,
                                    std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

#if defined(__x86_64__)

[[gnu::target("avx2")]] Blake3ChainingValue compress_avx2(const Blake3ChainingValue& cv,
                                                          const std::uint8_t* block,
                                                          std::uint64_t counter,
                                                          std::uint32_t block_length,
                                                          std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

[[gnu::target("avx512f,avx512vl,avx2,prefer-vector-width=512")]] Blake3ChainingValue
compress_avx512(const Blake3ChainingValue& cv, const std::uint8_t* block, std::uint64_t counter,
                std::uint32_t block_length, std::uint32_t flags) noexcept {
  return compress_rows(cv, block, counter, block_length, flags);
}

#endif  // __x86_64__

}  // namespace

Blake3Compression blake3_compression([[maybe_unused]] SimdLevel level) noexcept {
#if defined(__x86_64__)
  return kernel_for<Blake3Compression>(level, compress_scalar, compress_avx2, compress_avx512);
#else
  return compress_scalar;
#endif
}

void blake3_hash_chunk(const std::uint8_t* message, std::size_t size, std::uint8_t* out,
                       Blake3Compression compress) noexcept {
  Blake3ChainingValue cv;
  std::copy_n(kBlake3Iv, 8, cv.words);
  std::uint8_t block[kBlake3BlockSize];
  std::size_t at = 0;
  std::uint32_t flags = kBlake3ChunkStart;
  // Every block but the last is full; the last (possibly empty) is padded.
  while (size - at > kBlake3BlockSize) {
    cv = compress(cv, message + at, 0, kBlake3BlockSize, flags);
    flags = 0;
    at += kBlake3BlockSize;
  }
  const std::size_t tail = size - at;
  std::memset(block, 0, sizeof block);
  if (tail > 0) std::memcpy(block, message + at, tail);
  cv = compress(cv, block, 0, static_cast<std::uint32_t>(tail),
                flags | kBlake3ChunkEnd | kBlake3Root);
  for (int i = 0; i < 8; ++i) put_le32(out + 4 * i, cv.words[i]);
  wipe(block, sizeof block);
  wipe(&cv, sizeof cv);
}

}  // namespace quorvex
