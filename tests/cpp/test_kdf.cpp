#include <gtest/gtest.h>

#include <algorithm>

#include "dead_stack.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "digest.hpp"
#include "hex.hpp"
#include "hmac_sha256.hpp"
#include "kdf.hpp"
#include "random_bytes.hpp"

namespace quorvex {
namespace {

using testing::from_hex;
using testing::to_hex;

struct RfcCase {
  const char* name;
  const char* ikm;
  const char* salt;
  const char* info;
  std::size_t length;
  const char* prk;
  const char* okm;
};

// RFC 5869, appendix A, test cases 1 and 3 (SHA-256).
const RfcCase kRfcCases[] = {
    {"basic", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "000102030405060708090a0b0c",
     "f0f1f2f3f4f5f6f7f8f9", 42, "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
     "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
    {"empty_salt_and_info", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "", "", 42,
     "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
     "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
};

class HkdfRfc5869 : public ::testing::TestWithParam<RfcCase> {};

TEST_P(HkdfRfc5869, ExtractAndExpand) {
  const RfcCase& c = GetParam();
  const auto ikm = from_hex(c.ikm), salt = from_hex(c.salt), info = from_hex(c.info);
  const Prk prk = hkdf_extract(salt, ikm);
  EXPECT_EQ(to_hex(prk), c.prk);
  EXPECT_EQ(to_hex(hkdf_expand(prk, info, c.length)), c.okm);
}

INSTANTIATE_TEST_SUITE_P(Vectors, HkdfRfc5869, ::testing::ValuesIn(kRfcCases),
                         [](const auto& info) { return std::string(info.param.name); });

// RFC 5869: at most 255 blocks of 32 bytes, written out here rather than
// taken from the constant the code checks.
TEST(HkdfExpand, LimitIs255Blocks) {
  const Prk prk = hkdf_extract({}, {});
  EXPECT_EQ(hkdf_expand(prk, {}, 8160).size(), 8160u);
  EXPECT_EQ(hkdf_expand(prk, {}, 0).size(), 0u);
  try {
    hkdf_expand(prk, {}, 8161);
    FAIL() << "expected HkdfError";
  } catch (const HkdfError& error) {
    EXPECT_STREQ(error.what(), texts::kHkdfTooLong);
  }
}

TEST(HkdfExpand, BlocksChainThroughThePreviousBlock) {
  const Prk prk = hkdf_extract(from_hex("00"), from_hex("01"));
  const auto info = from_hex("abcd");
  const auto long_output = hkdf_expand(prk, info, 96);
  const auto short_output = hkdf_expand(prk, info, 40);
  EXPECT_TRUE(std::equal(short_output.begin(), short_output.end(), long_output.begin()));
}

TEST(KeySize, OnlySixteenThirtyTwoSixtyFour) {
  for (std::uint64_t size : {16, 32, 64}) EXPECT_NO_THROW(check_key_size(size));
  for (std::uint64_t size : {0ull, 8ull, 24ull, 48ull, 65ull, 8160ull, ~0ull}) {
    try {
      check_key_size(size);
      ADD_FAILURE() << size;
    } catch (const Panic& panic) {
      EXPECT_STREQ(panic.what(), texts::kKeySize);
    }
  }
}

TEST(ExpandPool, BlocksAreIndependentHashes) {
  const auto pool = from_hex("0102");
  const ExpandedPool expanded = expand_pool(pool);
  const ExpandedPool again = expand_pool(pool);
  EXPECT_EQ(expanded, again);
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) {
      EXPECT_FALSE(std::equal(expanded.begin() + 32 * i, expanded.begin() + 32 * i + 32,
                              expanded.begin() + 32 * j));
    }
  }
}

// libgcrypt's own HMAC, an independent oracle for ours.
std::vector<std::uint8_t> libgcrypt_hmac(const std::vector<std::uint8_t>& key,
                                         const std::vector<std::uint8_t>& message) {
  ensure_gcrypt();
  gcry_md_hd_t handle = nullptr;
  EXPECT_EQ(gcry_md_open(&handle, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC), 0u);
  EXPECT_EQ(gcry_md_setkey(handle, key.data(), key.size()), 0u);
  gcry_md_write(handle, message.data(), message.size());
  const std::uint8_t* mac = gcry_md_read(handle, GCRY_MD_SHA256);
  std::vector<std::uint8_t> out(mac, mac + kSha256Size);
  gcry_md_close(handle);
  return out;
}

std::vector<std::uint8_t> mac_of(HmacSha256& hmac, const std::vector<std::uint8_t>& message) {
  hmac.update(message.data(), message.size());
  std::vector<std::uint8_t> out(kSha256Size);
  hmac.finish(out.data());
  return out;
}

// A MAC that has already been used, finished or left mid-message, then
// rekeyed, gives what a fresh MAC under the new key gives, for keys on both
// sides of the block size (a long key is hashed with the inner handle).
class HmacRekey : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HmacRekey, MatchesAFreshMacAndLibgcrypt) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const auto first_key = testing::random_bytes(100, rng);
  const auto key = testing::random_bytes(GetParam(), rng);
  const auto message = testing::random_bytes(77, rng);
  const auto expected = libgcrypt_hmac(key, message);

  HmacSha256 finished(first_key);
  mac_of(finished, message);
  finished.rekey(key);
  EXPECT_EQ(mac_of(finished, message), expected);

  HmacSha256 pending(first_key);
  pending.update(message.data(), 10);
  pending.rekey(key);
  EXPECT_EQ(mac_of(pending, message), expected);

  HmacSha256 fresh(key);
  EXPECT_EQ(mac_of(fresh, message), expected);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, HmacRekey, ::testing::Values(0, 1, 32, 63, 64, 65, 200));

// Keying a MAC builds the key block (the key, zero-filled or first hashed
// when longer than a block; during HKDF-Expand, the PRK) on the stack and
// the two pads from it: once the key is set, by the constructor or by
// rekey, none of them may stay on the stack under the caller or in the
// registers (a signal spills them below the scanned stack first).
TEST(HmacSha256, KeySetUpLeavesNoKeyBlockBehind) {
  constexpr std::size_t kCallDepth = kLibraryStackDepth;
  constexpr std::size_t kScanned = kCallDepth + testing::kSignalFrameRoom;
  for (const std::size_t size : {32, 64, 100}) {
    const auto key = testing::random_bytes(size, static_cast<unsigned>(size));
    std::vector<std::uint8_t> block(kSha256BlockSize, 0);
    if (size > kSha256BlockSize) {
      gcry_md_hash_buffer(GCRY_MD_SHA256, block.data(), key.data(), key.size());
    } else {
      std::copy(key.begin(), key.end(), block.begin());
    }
    std::vector<std::uint8_t> secrets = block;
    for (const std::uint8_t pad : {0x36, 0x5c}) {
      for (const std::uint8_t b : block) secrets.push_back(b ^ pad);
    }
    const auto pieces = testing::telling_pieces(secrets);
    ASSERT_FALSE(pieces.empty());

    wipe_dead_stack<kScanned>();
    HmacSha256 hmac(key);
    testing::spill_registers_below<kCallDepth>();
    EXPECT_EQ(testing::copies_on_dead_stack<kScanned>(pieces), 0) << "constructed, key of " << size;

    const auto other_key = testing::random_bytes(20, 9);
    hmac.rekey(other_key);
    wipe_dead_stack<kScanned>();
    hmac.rekey(key);
    testing::spill_registers_below<kCallDepth>();
    EXPECT_EQ(testing::copies_on_dead_stack<kScanned>(pieces), 0) << "rekeyed, key of " << size;
  }
}

// The derivation shares one MAC between extract and expand; the steps on
// their own must give the same key.
TEST(DeriveKeyHkdf, EqualsExtractThenExpand) {
  std::mt19937 rng(7);
  for (const std::size_t salt_size : {0, 16, 64, 65, 300}) {
    const auto pool = testing::random_bytes(64, rng), salt = testing::random_bytes(salt_size, rng),
               info = testing::random_bytes(17, rng);
    for (const std::uint64_t size : {16, 32, 64}) {
      const SecretBytes key = derive_key_hkdf(pool, salt, info, size);
      const SecretBytes steps = hkdf_expand(hkdf_extract(salt, expand_pool(pool)), info, size);
      EXPECT_TRUE(std::equal(key.begin(), key.end(), steps.begin(), steps.end()))
          << "salt " << salt_size << ", key " << size;
    }
  }
}

}  // namespace
}  // namespace quorvex
