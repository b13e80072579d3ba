// The BLAKE3 compression on every SIMD level against the BLAKE3 library's
// public hasher, on every message length of one chunk, and the chunk walk
// on every level against a plain model of it built on the library's hasher
// and libgcrypt's SHA3-256.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "blake3_chunk_walk.hpp"
#include "blake3_compress.hpp"
#include "blake3_hasher.hpp"
#include "byte_order.hpp"
#include "cpu_features.hpp"
#include "hex.hpp"

namespace quorvex {
namespace {

using testing::to_hex;

std::vector<std::uint8_t> random_bytes(std::size_t size, std::mt19937& rng) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

std::string library_hash(const std::vector<std::uint8_t>& message) {
  std::uint8_t out[kBlake3Size];
  Blake3().hash(message.data(), message.size(), out);
  return to_hex(std::vector<std::uint8_t>(out, out + kBlake3Size));
}

std::string level_name(const ::testing::TestParamInfo<SimdLevel>& info) {
  return simd_level_name(info.param);
}

class Blake3Level : public ::testing::TestWithParam<SimdLevel> {
 protected:
  static void SetUpTestSuite() { ASSERT_NE(gcry_check_version(nullptr), nullptr); }
  Blake3Compression compress_ = blake3_compression(GetParam());
};

// The published test vector inputs are bytes i mod 251; "" and one byte
// come from the BLAKE3 reference test vectors.
TEST_P(Blake3Level, KnownAnswers) {
  std::uint8_t out[kBlake3OutSize];
  blake3_hash_chunk(nullptr, 0, out, compress_);
  EXPECT_EQ(to_hex(std::vector<std::uint8_t>(out, out + 32)),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  const std::uint8_t zero = 0;
  blake3_hash_chunk(&zero, 1, out, compress_);
  EXPECT_EQ(to_hex(std::vector<std::uint8_t>(out, out + 32)),
            "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213");
}

TEST_P(Blake3Level, EveryLengthOfOneChunkMatchesTheLibrary) {
  std::mt19937 rng(21);
  for (std::size_t length = 0; length <= kBlake3ChunkSize; ++length) {
    const auto message = random_bytes(length, rng);
    std::uint8_t out[kBlake3OutSize];
    blake3_hash_chunk(message.data(), message.size(), out, compress_);
    ASSERT_EQ(to_hex(std::vector<std::uint8_t>(out, out + 32)), library_hash(message)) << length;
  }
}

TEST_P(Blake3Level, SameWordsAsScalarOnRandomInputs) {
  const Blake3Compression scalar = blake3_compression(SimdLevel::scalar);
  std::mt19937 rng(22);
  for (int round = 0; round < 2000; ++round) {
    Blake3ChainingValue cv;
    for (auto& word : cv.words) word = rng();
    const auto block = random_bytes(kBlake3BlockSize, rng);
    const std::uint64_t counter = (std::uint64_t{rng()} << 32) | rng();
    const std::uint32_t length = rng() % 65, flags = rng() % 16;
    const Blake3ChainingValue expected = scalar(cv, block.data(), counter, length, flags);
    const Blake3ChainingValue actual = compress_(cv, block.data(), counter, length, flags);
    ASSERT_EQ(0, std::memcmp(&expected, &actual, sizeof expected)) << round;
  }
}

// The chunk walk as written out step by step, with the library's hasher
// for every step and libgcrypt's SHA3-256 over all chain values.
ChunkResult model_chunk_walk(const std::uint8_t* seed, const PixelGrid& grid, std::uint64_t steps) {
  const auto clamp = [](std::int64_t v, std::uint64_t size) {
    return static_cast<std::uint64_t>(
        std::min<std::int64_t>(std::max<std::int64_t>(v, 0), static_cast<std::int64_t>(size) - 1));
  };
  const auto pixel = [&](std::uint64_t x, std::uint64_t y) {
    return grid.pixels.data() + (y * grid.width + x) * 3;
  };
  std::uint8_t h[32];
  Blake3().hash(seed, 32, h);
  std::uint64_t ox = 0, oy = 0;
  std::vector<std::uint8_t> chain_values;
  for (std::uint64_t s = 0; s < steps; ++s) {
    if (s % 512 == 0) {
      ox = load_le32(h) % grid.width;
      oy = load_le32(h + 4) % grid.height;
    }
    const std::uint64_t x = std::min(ox + (h[8] & 0x3F), grid.width - 1);
    const std::uint64_t y = std::min(oy + (h[9] & 0x3F), grid.height - 1);
    std::vector<std::uint8_t> message(h, h + 32);
    message.insert(message.end(), pixel(x, y), pixel(x, y) + 3);
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const std::uint8_t* p = pixel(clamp(static_cast<std::int64_t>(x) + dx, grid.width),
                                      clamp(static_cast<std::int64_t>(y) + dy, grid.height));
        message.insert(message.end(), p, p + 3);
      }
    }
    std::uint8_t word[4];
    put_le32(word, static_cast<std::uint32_t>(x));
    message.insert(message.end(), word, word + 4);
    put_le32(word, static_cast<std::uint32_t>(y));
    message.insert(message.end(), word, word + 4);
    message.push_back(blake3_walk::luminance_byte(pixel(x, y)[0], pixel(x, y)[1], pixel(x, y)[2]));
    Blake3().hash(message.data(), message.size(), h);
    chain_values.insert(chain_values.end(), h, h + 32);
  }
  ChunkResult result;
  std::copy_n(h, 32, result.chain.begin());
  gcry_md_hash_buffer(GCRY_MD_SHA3_256, result.step_digest.data(), chain_values.data(),
                      chain_values.size());
  return result;
}

// Step counts around the accumulator's blocks (4.25 chain values each) and
// the re-anchoring period; images smaller and larger than the window.
TEST_P(Blake3Level, ChunkWalkMatchesThePlainModel) {
  std::mt19937 rng(23);
  const std::pair<std::uint64_t, std::uint64_t> sizes[] = {{1, 1}, {2, 3}, {70, 5}, {100, 90}};
  for (const auto& [width, height] : sizes) {
    const auto pixels = random_bytes(width * height * 3, rng);
    const PixelGrid grid{pixels, width, height};
    for (std::uint64_t steps : {0, 1, 4, 5, 17, 511, 512, 513, 1100}) {
      const auto seed = random_bytes(32, rng);
      ChunkResult actual;
      chunk_walk(seed.data(), grid, steps, actual, {}, GetParam());
      const ChunkResult expected = model_chunk_walk(seed.data(), grid, steps);
      ASSERT_EQ(to_hex(actual.chain), to_hex(expected.chain))
          << width << "x" << height << " " << steps;
      ASSERT_EQ(to_hex(actual.step_digest), to_hex(expected.step_digest))
          << width << "x" << height << " " << steps;
    }
  }
}

// The step accumulator fills a block every 4.25 steps and permutes it
// three rounds per compression: every step count up to four periods of
// that pattern ends the walk at a different point of a block and of a
// permutation in flight.
TEST_P(Blake3Level, ChunkWalkMatchesThePlainModelAtEveryStepCount) {
  std::mt19937 rng(29);
  const auto pixels = random_bytes(9 * 7 * 3, rng);
  const PixelGrid grid{pixels, 9, 7};
  const auto seed = random_bytes(32, rng);
  for (std::uint64_t steps = 0; steps <= 68; ++steps) {
    ChunkResult actual;
    chunk_walk(seed.data(), grid, steps, actual, {}, GetParam());
    const ChunkResult expected = model_chunk_walk(seed.data(), grid, steps);
    ASSERT_EQ(to_hex(actual.step_digest), to_hex(expected.step_digest)) << steps;
    ASSERT_EQ(to_hex(actual.chain), to_hex(expected.chain)) << steps;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Blake3Level, ::testing::ValuesIn(kAllSimdLevels), level_name);

}  // namespace
}  // namespace quorvex
