// The entry points that drive libgcrypt with key material (the seed, the
// pool expansion, HKDF's steps, both final keys) leave none of it on the
// stack below their caller, nor in the vector registers, which the next
// signal frame would write there.
#include <gtest/gtest.h>

#include <vector>

#include "dead_stack.hpp"
#include "kdf.hpp"
#include "random_bytes.hpp"
#include "seed.hpp"

namespace quorvex {
namespace {

using testing::random_bytes;
using testing::telling_pieces;

constexpr std::size_t kCallDepth = kLibraryStackDepth;

std::vector<std::uint8_t> joined(std::initializer_list<ByteView> secrets) {
  std::vector<std::uint8_t> all;
  for (ByteView secret : secrets) all.insert(all.end(), secret.begin(), secret.end());
  return telling_pieces(all);
}

template <class Call>
int copies_left_by(const std::vector<std::uint8_t>& pieces, Call call) {
  return testing::copies_left_by<kCallDepth>(pieces, call);
}

struct Inputs {
  std::vector<std::uint8_t> pool = random_bytes(64, 1), salt = random_bytes(16, 2),
                            info = random_bytes(9, 3), image_hash = random_bytes(32, 4);
  std::vector<std::uint8_t> context = {'c', 't', 'x'};
  std::vector<std::uint8_t> version = {'v', '2'};
};

TEST(DeadStack, InitialSeed) {
  const Inputs in;
  const SecretBytes seed = generate_initial_seed(in.image_hash, in.salt, 1700000000, in.version);
  const auto pieces = joined({seed});
  ASSERT_FALSE(pieces.empty());
  EXPECT_EQ(copies_left_by(pieces, [&] {
              generate_initial_seed(in.image_hash, in.salt, 1700000000, in.version);
            }),
            0);
}

TEST(DeadStack, PoolExpansion) {
  const Inputs in;
  const auto pieces = joined({expand_pool(in.pool)});
  EXPECT_EQ(copies_left_by(pieces, [&] { expand_pool(in.pool); }), 0);
}

TEST(DeadStack, HkdfSteps) {
  const Inputs in;
  const Prk prk = hkdf_extract(in.salt, in.pool);
  const SecretBytes okm = hkdf_expand(prk, in.info, 64);
  const auto pieces = joined({prk, okm});
  EXPECT_EQ(copies_left_by(pieces, [&] { hkdf_extract(in.salt, in.pool); }), 0) << "extract";
  EXPECT_EQ(copies_left_by(pieces, [&] { hkdf_expand(prk, in.info, 64); }), 0) << "expand";
}

TEST(DeadStack, FinalKeys) {
  const Inputs in;
  const ExpandedPool expanded = expand_pool(in.pool);
  const Prk prk = hkdf_extract(in.salt, expanded);
  for (const std::uint64_t size : {16, 32, 64}) {
    const SecretBytes hkdf_key = derive_key_hkdf(in.pool, in.salt, in.info, size);
    EXPECT_EQ(copies_left_by(joined({expanded, prk, hkdf_key}),
                             [&] { derive_key_hkdf(in.pool, in.salt, in.info, size); }),
              0)
        << "HKDF, " << size << " bytes";
    const SecretBytes blake3_key = derive_key_blake3(in.pool, in.context, size);
    EXPECT_EQ(copies_left_by(joined({expanded, blake3_key}),
                             [&] { derive_key_blake3(in.pool, in.context, size); }),
              0)
        << "BLAKE3, " << size << " bytes";
  }
}

}  // namespace
}  // namespace quorvex
