#include "kdf.hpp"

#include <algorithm>

#include "errors.hpp"
#include "blake3_hasher.hpp"
#include "digest.hpp"
#include "fixed_texts.hpp"
#include "hmac_sha256.hpp"

namespace quorvex {

static_assert(kPrkSize == kSha256Size);

namespace {

// expand_pool without the wipe, for callers that wipe once for everything.
ExpandedPool expand_pool_unwiped(ByteView pool) {
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

}  // namespace

// Each entry point wipes what its libgcrypt calls and its own copies left
// on the stack and in the vector registers, once, as it returns.
ExpandedPool expand_pool(ByteView pool) {
  const DeadStackWipe<kDigestStackDepth> wipe_on_exit;
  return expand_pool_unwiped(pool);
}

void check_key_size(std::uint64_t key_size) {
  if (key_size != 16 && key_size != 32 && key_size != 64) {
    throw Panic(texts::kKeySize);
  }
}

namespace {

// The two HKDF steps over a MAC the caller keys, so that one derivation
// opens its two SHA-256 handles once for both.
Prk extract_with(HmacSha256& keyed_with_salt, ByteView input_key_material) {
  keyed_with_salt.update(input_key_material);
  Prk prk;
  keyed_with_salt.finish(prk.data());
  return prk;
}

// length is at most kHkdfMaxOutput, so the one-byte counter cannot wrap.
SecretBytes expand_with(HmacSha256& keyed_with_prk, ByteView info, std::uint64_t length) {
  SecretBytes output(length);
  SecretArray<kSha256Size> block;
  std::size_t written = 0;
  for (std::uint8_t counter = 1; written < length; ++counter) {
    keyed_with_prk.reset();
    if (counter > 1) keyed_with_prk.update(block.data(), block.size());
    keyed_with_prk.update(info);
    keyed_with_prk.update(&counter, 1);
    keyed_with_prk.finish(block.data());
    const std::size_t take = std::min<std::size_t>(block.size(), length - written);
    std::copy_n(block.begin(), take, output.begin() + written);
    written += take;
  }
  return output;
}

}  // namespace

Prk hkdf_extract(ByteView salt, ByteView input_key_material) {
  const DeadStackWipe<kDigestStackDepth> wipe_on_exit;
  HmacSha256 hmac(salt);
  return extract_with(hmac, input_key_material);
}

SecretBytes hkdf_expand(ByteView prk, ByteView info, std::uint64_t length) {
  if (length > kHkdfMaxOutput) {
    throw HkdfError(texts::kHkdfTooLong);
  }
  const DeadStackWipe<kDigestStackDepth> wipe_on_exit;
  HmacSha256 hmac(prk);
  return expand_with(hmac, info, length);
}

SecretBytes derive_key_hkdf(ByteView entropy_pool, ByteView salt, ByteView info,
                            std::uint64_t key_size) {
  check_key_size(key_size);
  const DeadStackWipe<kDigestStackDepth> wipe_on_exit;
  const ExpandedPool expanded = expand_pool_unwiped(entropy_pool);
  HmacSha256 hmac(salt);
  const Prk prk = extract_with(hmac, expanded);
  hmac.rekey(prk);
  return expand_with(hmac, info, key_size);  // key_size is at most 64
}

SecretBytes derive_key_blake3(ByteView entropy_pool, ByteView context, std::uint64_t key_size) {
  check_key_size(key_size);
  const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;  // the library's finalisation leaves its output there
  const ExpandedPool expanded = expand_pool_unwiped(entropy_pool);
  Blake3 hasher(context);
  hasher.update(expanded.data(), expanded.size());
  SecretBytes key(key_size);
  hasher.finish(key.data(), key.size());
  return key;
}

}  // namespace quorvex
