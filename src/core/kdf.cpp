#include "kdf.hpp"

#include <algorithm>

#include "errors.hpp"
#include "blake3_hasher.hpp"
#include "digest.hpp"
#include "fixed_texts.hpp"
#include "hmac_sha256.hpp"

namespace quorvex {

static_assert(kPrkSize == kSha256Size);

ExpandedPool expand_pool(ByteView pool) {
  ExpandedPool expanded;
  Digest digest(GCRY_MD_SHA3_256);
  for (std::uint8_t counter = 0; counter < 4; ++counter) {
    const std::uint8_t big_endian[4] = {0, 0, 0, counter};
    digest.reset();
    digest.update(pool);
    digest.update(big_endian, sizeof big_endian);
    digest.finish(expanded.data() + counter * std::size_t{32});
  }
  return expanded;
}

void check_key_size(std::uint64_t key_size) {
  if (key_size != 16 && key_size != 32 && key_size != 64) {
    throw Panic(texts::kKeySize);
  }
}

Prk hkdf_extract(ByteView salt, ByteView input_key_material) {
  HmacSha256 hmac(salt);
  hmac.update(input_key_material);
  Prk prk;
  hmac.finish(prk.data());
  return prk;
}

SecretBytes hkdf_expand(ByteView prk, ByteView info, std::uint64_t length) {
  if (length > kHkdfMaxOutput) {
    throw HkdfError(texts::kHkdfTooLong);
  }
  HmacSha256 hmac(prk);
  SecretBytes output(length);
  SecretArray<kSha256Size> block;
  std::size_t written = 0;
  for (std::uint8_t counter = 1; written < length; ++counter) {
    hmac.reset();
    if (counter > 1) hmac.update(block.data(), block.size());
    hmac.update(info);
    hmac.update(&counter, 1);
    hmac.finish(block.data());
    const std::size_t take = std::min<std::size_t>(block.size(), length - written);
    std::copy_n(block.begin(), take, output.begin() + written);
    written += take;
  }
  return output;
}

SecretBytes derive_key_hkdf(ByteView entropy_pool, ByteView salt, ByteView info,
                            std::uint64_t key_size) {
  check_key_size(key_size);
  const ExpandedPool expanded = expand_pool(entropy_pool);
  const Prk prk = hkdf_extract(salt, expanded);
  return hkdf_expand(prk, info, key_size);
}

SecretBytes derive_key_blake3(ByteView entropy_pool, ByteView context, std::uint64_t key_size) {
  check_key_size(key_size);
  const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;  // the library's finalisation leaves its output there
  const ExpandedPool expanded = expand_pool(entropy_pool);
  Blake3 hasher(context);
  hasher.update(expanded.data(), expanded.size());
  SecretBytes key(key_size);
  hasher.finish(key.data(), key.size());
  return key;
}

}  // namespace quorvex
