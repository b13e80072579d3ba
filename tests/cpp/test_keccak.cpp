// Keccak-f[1600] and the SHA-3 sponge on every SIMD level: published known
// answers, libgcrypt on random inputs of every length up to three blocks,
// and the two lanes of a pair against two single permutations.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cpu_features.hpp"
#include "hex.hpp"
#include "random_bytes.hpp"
#include "simd_level_test.hpp"
#include "keccak.hpp"
#include "sha3_sponge.hpp"

namespace quorvex {
namespace {

using testing::from_hex;
using testing::random_bytes;
using testing::to_hex;

class KeccakLevel : public testing::SimdLevelTest {
 protected:
  KeccakKernels kernels_ = keccak_kernels(GetParam());
};

KeccakState random_state(std::mt19937_64& rng) {
  KeccakState state;
  for (auto& lane : state.lanes) lane = rng();
  return state;
}

// The all-zero state permuted once (the Keccak team's intermediate values).
TEST_P(KeccakLevel, ZeroStateKnownAnswer) {
  KeccakState state;
  kernels_.single(state);
  EXPECT_EQ(state.lanes[0], 0xF1258F7940E1DDE7u);
  EXPECT_EQ(state.lanes[1], 0x84D5CCF933C0478Au);
  EXPECT_EQ(state.lanes[2], 0xD598261EA65AA9EEu);
  EXPECT_EQ(state.lanes[24], 0xEAF1FF7B5CECA249u);
}

struct KnownAnswer {
  std::size_t rate;
  std::string message;
  const char* digest;
};

// FIPS 202 examples: "", "abc", and 200 bytes of 0xA3 (longer than both
// rates, so the padding lands in a later block).
TEST_P(KeccakLevel, Sha3KnownAnswers) {
  const std::string a3(200, '\xa3');
  const KnownAnswer answers[] = {
      {kSha3_256Rate, "", "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
      {kSha3_512Rate, "",
       "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e940"
       "2c3ac558f500199d95b6d3e301758586281dcd26"},
      {kSha3_256Rate, "abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
      {kSha3_512Rate, "abc",
       "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec576"
       "47e3934057340b4cf408d5a56592f8274eec53f0"},
      {kSha3_256Rate, a3, "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
      {kSha3_512Rate, a3,
       "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca81b7c13c30adf52a3659584739a"
       "2df46be589c51ca1a4a8416df6545a1ce8ba00"},
  };
  for (const auto& answer : answers) {
    const std::size_t size = answer.rate == kSha3_256Rate ? kSha3_256Size : kSha3_512Size;
    std::vector<std::uint8_t> digest(size);
    sha3_digest(answer.rate, reinterpret_cast<const std::uint8_t*>(answer.message.data()),
                answer.message.size(), digest.data(), size, kernels_.single);
    EXPECT_EQ(to_hex(digest), answer.digest) << answer.rate << " " << answer.message.size();
  }
}

// Every length from empty to past three blocks, whole and fed in uneven
// pieces, against libgcrypt.
TEST_P(KeccakLevel, Sha3MatchesLibgcryptOnEveryLength) {
  std::mt19937 rng(11);
  for (const auto& [rate, size, algorithm] :
       {std::tuple{kSha3_256Rate, kSha3_256Size, GCRY_MD_SHA3_256},
        std::tuple{kSha3_512Rate, kSha3_512Size, GCRY_MD_SHA3_512}}) {
    for (std::size_t length = 0; length <= 3 * rate + 1; ++length) {
      const auto message = random_bytes(length, rng);
      std::vector<std::uint8_t> expected(size), whole(size), pieces(size);
      gcry_md_hash_buffer(algorithm, expected.data(), message.data(), message.size());
      sha3_digest(rate, message.data(), message.size(), whole.data(), size, kernels_.single);
      Sha3Sponge sponge(rate);
      for (std::size_t at = 0; at < length;) {
        const std::size_t piece = std::min<std::size_t>(rng() % 41, length - at);
        sponge.absorb(message.data() + at, piece, kernels_.single);
        at += piece;
      }
      sponge.finish(pieces.data(), size, kernels_.single);
      ASSERT_EQ(to_hex(whole), to_hex(expected)) << "rate " << rate << " length " << length;
      ASSERT_EQ(to_hex(pieces), to_hex(expected)) << "rate " << rate << " length " << length;
    }
  }
}

TEST_P(KeccakLevel, PairLanesAreTwoSinglePermutations) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 50; ++round) {
    KeccakState first = random_state(rng), second = random_state(rng);
    KeccakState first_alone = first, second_alone = second;
    kernels_.pair(first, &second);
    kernels_.single(first_alone);
    kernels_.single(second_alone);
    ASSERT_EQ(0, std::memcmp(&first, &first_alone, sizeof first));
    ASSERT_EQ(0, std::memcmp(&second, &second_alone, sizeof second));

    KeccakState lone = random_state(rng), lone_alone = lone;
    kernels_.pair(lone, nullptr);
    kernels_.single(lone_alone);
    ASSERT_EQ(0, std::memcmp(&lone, &lone_alone, sizeof lone));
  }
}

// Every level against the scalar level, on chained random states.
TEST_P(KeccakLevel, SameBytesAsScalar) {
  const KeccakKernels scalar = keccak_kernels(SimdLevel::scalar);
  std::mt19937_64 rng(13);
  KeccakState state = random_state(rng), reference = state;
  for (int round = 0; round < 1000; ++round) {
    kernels_.single(state);
    scalar.single(reference);
  }
  EXPECT_EQ(0, std::memcmp(&state, &reference, sizeof state));
}

INSTANTIATE_TEST_SUITE_P(Levels, KeccakLevel, ::testing::ValuesIn(kAllSimdLevels),
                         testing::level_name);

TEST(Sha3Sponge, StateBytesAreLittleEndianLanes) {
  KeccakState state;
  const std::vector<std::uint8_t> bytes = from_hex("0102030405060708090a");
  xor_into_state(state, 5, bytes.data(), bytes.size());
  EXPECT_EQ(state.lanes[0], 0x0302010000000000u);
  EXPECT_EQ(state.lanes[1], 0x000a090807060504u);
  std::uint8_t out[16];
  read_state(state, out, sizeof out);
  EXPECT_EQ(to_hex(std::vector<std::uint8_t>(out, out + 16)), "00000000000102030405060708090a00");
}

}  // namespace
}  // namespace quorvex
