#include "seed.hpp"

#include <charconv>

#include "digest.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kHexHashSize = 32;

void absorb_image_hash(Digest& digest, ByteView image_hash) {
  if (image_hash.size() != kHexHashSize) {
    digest.update(image_hash);
    return;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  SecretArray<2 * kHexHashSize> text;
  for (std::size_t i = 0; i < kHexHashSize; ++i) {
    text[2 * i] = kDigits[image_hash[i] >> 4];
    text[2 * i + 1] = kDigits[image_hash[i] & 0x0F];
  }
  digest.update(text.data(), text.size());
}

}  // namespace

SecretBytes generate_initial_seed(ByteView image_hash, ByteView nonce, std::uint64_t timestamp,
                                  ByteView version) {
  const DeadStackWipe<kDigestStackDepth> wipe_on_exit;  // the seed left libgcrypt through registers
  Digest digest(GCRY_MD_SHA3_512);
  absorb_image_hash(digest, image_hash);
  digest.update(nonce);
  char decimal[20];
  const auto end = std::to_chars(decimal, decimal + sizeof decimal, timestamp).ptr;
  digest.update(decimal, static_cast<std::size_t>(end - decimal));
  digest.update(version);
  SecretBytes seed(kSeedSize);
  digest.finish(seed.data());
  return seed;
}

}  // namespace quorvex
