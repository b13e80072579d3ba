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
#include "dead_stack.hpp"
#include "errors.hpp"
#include "hex.hpp"
#include "random_bytes.hpp"
#include "simd_level_test.hpp"
#include "secret.hpp"

namespace quorvex {
namespace {

using testing::copies_on_dead_stack;
using testing::random_bytes;
using testing::to_hex;

std::string library_hash(const std::vector<std::uint8_t>& message) {
  std::uint8_t out[kBlake3Size];
  Blake3().hash(message.data(), message.size(), out);
  return to_hex(std::vector<std::uint8_t>(out, out + kBlake3Size));
}

class Blake3Level : public testing::SimdLevelTest {
 protected:
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
// for every step and libgcrypt's SHA3-256 over all chain values. Every
// byte is checked before it is read, in the walk's order, so that a short
// buffer fails at the same index. The chain values made so far are left
// in `chain_values`, also when the walk fails.
ChunkResult model_chunk_walk(const std::uint8_t* seed, const PixelGrid& grid, std::uint64_t steps,
                             std::vector<std::uint8_t>& chain_values) {
  const auto clamp = [](std::int64_t v, std::uint64_t size) {
    return static_cast<std::uint64_t>(
        std::min<std::int64_t>(std::max<std::int64_t>(v, 0), static_cast<std::int64_t>(size) - 1));
  };
  const auto pixel = [&](std::uint64_t x, std::uint64_t y) {
    const std::uint64_t at = (y * grid.width + x) * 3;
    for (std::uint64_t i = at; i < at + 3; ++i) {
      if (i >= grid.pixels.size()) fail_out_of_bounds(grid.pixels.size(), i);
    }
    return grid.pixels.data() + at;
  };
  std::uint8_t h[32];
  Blake3().hash(seed, 32, h);
  std::uint64_t ox = 0, oy = 0;
  chain_values.clear();
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

ChunkResult model_chunk_walk(const std::uint8_t* seed, const PixelGrid& grid, std::uint64_t steps) {
  std::vector<std::uint8_t> chain_values;
  return model_chunk_walk(seed, grid, steps, chain_values);
}

// "chain digest" of a walk that finished, or the failure's message.
template <class Walk>
std::string outcome_of(Walk&& walk) {
  try {
    const ChunkResult result = walk();
    return to_hex(result.chain) + " " + to_hex(result.step_digest);
  } catch (const Panic& failure) {
    return failure.what();
  }
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

// Past 2^16 the high halves of x and y (message bytes 64, 65, 68 and 69)
// are no longer zero; one row or one column of 2^25 + 3 pixels puts most
// positions there.
TEST_P(Blake3Level, ChunkWalkMatchesThePlainModelPast16BitCoordinates) {
  constexpr std::uint64_t kLong = (std::uint64_t{1} << 25) + 3;
  std::vector<std::uint8_t> pixels(kLong * 3);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint8_t>((i * 0x9E3779B1u) >> 24);
  }
  std::mt19937 rng(31);
  for (const PixelGrid grid : {PixelGrid{pixels, kLong, 1}, PixelGrid{pixels, 1, kLong}}) {
    const auto seed = random_bytes(32, rng);
    ChunkResult actual;
    chunk_walk(seed.data(), grid, 600, actual, {}, GetParam());
    const ChunkResult expected = model_chunk_walk(seed.data(), grid, 600);
    ASSERT_EQ(to_hex(actual.chain), to_hex(expected.chain)) << grid.width << "x" << grid.height;
    ASSERT_EQ(to_hex(actual.step_digest), to_hex(expected.step_digest));
  }
}

// A buffer shorter than the image: the walk either never reads past it
// and gives the model's result, or fails at the model's first read past it.
TEST_P(Blake3Level, ShortPixelBuffersFailAtTheModelsFirstReadPastThem) {
  std::mt19937 rng(37);
  const std::pair<std::uint64_t, std::uint64_t> sizes[] = {{1, 1}, {70, 5}, {100, 90}};
  int failures = 0;
  for (const auto& [width, height] : sizes) {
    const auto full = random_bytes(width * height * 3, rng);
    for (int trial = 0; trial < 40; ++trial) {
      const std::vector<std::uint8_t> pixels(full.begin(), full.begin() + rng() % full.size());
      const PixelGrid grid{pixels, width, height};
      const auto seed = random_bytes(32, rng);
      const std::string expected =
          outcome_of([&] { return model_chunk_walk(seed.data(), grid, 300); });
      const std::string actual = outcome_of([&] {
        ChunkResult result;
        chunk_walk(seed.data(), grid, 300, result, {}, GetParam());
        return result;
      });
      ASSERT_EQ(actual, expected) << width << "x" << height << ", " << pixels.size() << " bytes";
      failures += expected.find("index") != std::string::npos;
    }
  }
  EXPECT_GT(failures, 40);  // most cuts are met within 300 steps
}

// The chain values a walk makes before it ends or fails, and the digest
// when it ends: what must not outlive it.
struct WalkSecrets {
  std::vector<std::uint8_t> bytes;
  bool failed = false;
};

WalkSecrets secrets_of(const std::uint8_t* seed, const PixelGrid& grid, std::uint64_t steps) {
  WalkSecrets secrets;
  try {
    const ChunkResult result = model_chunk_walk(seed, grid, steps, secrets.bytes);
    secrets.bytes.insert(secrets.bytes.end(), result.step_digest.begin(),
                         result.step_digest.end());
  } catch (const Panic&) {
    secrets.failed = true;
  }
  return secrets;
}

// The walk's kernels hold chain values and accumulator states in their
// frames; none may survive the walk, whether it ends or fails midway (on a
// buffer that lacks the image's last row, after at least a few steps).
TEST_P(Blake3Level, LeavesNoChainValueOnTheDeadStack) {
  constexpr std::size_t kScanned = 96 * 1024;  // past the deepest kernel frames of any build
  constexpr std::uint64_t kSteps = 40, kWidth = 100, kHeight = 100;
  std::mt19937 rng(41);
  const auto full = random_bytes(kWidth * kHeight * 3, rng);
  const std::vector<std::uint8_t> short_of_a_row(full.begin(), full.end() - kWidth * 3);
  for (const auto* pixels : {&full, &short_of_a_row}) {
    const PixelGrid grid{*pixels, kWidth, kHeight};
    const bool must_fail = pixels == &short_of_a_row;
    std::vector<std::uint8_t> seed;
    WalkSecrets secrets;
    do {
      seed = random_bytes(32, rng);
      secrets = secrets_of(seed.data(), grid, kSteps);
    } while (secrets.failed != must_fail || secrets.bytes.size() < 5 * kBlake3Size);
    wipe_dead_stack<kScanned>();  // the model's own copies
    try {
      ChunkResult result;
      chunk_walk(seed.data(), grid, kSteps, result, {}, GetParam());
    } catch (const Panic&) {
    }
    EXPECT_EQ(copies_on_dead_stack<kScanned>(secrets.bytes), 0) << (must_fail ? "failed" : "ended");
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Blake3Level, ::testing::ValuesIn(kAllSimdLevels),
                         testing::level_name);

}  // namespace
}  // namespace quorvex
