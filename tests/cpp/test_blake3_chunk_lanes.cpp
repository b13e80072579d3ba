// The lane walk against the lone chunk walk, which the model tests hold to
// the libraries: every chunk of a lane walk must come out as chunk_walk
// gives it, in every lane, for every count of chunks, at every level.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "blake3_chunk_lanes.hpp"
#include "dead_stack.hpp"
#include "random_bytes.hpp"
#include "secret.hpp"
#include "simd_level_test.hpp"

namespace quorvex {
namespace {

using testing::random_bytes;

struct Image {
  std::vector<std::uint8_t> pixels;
  PixelGrid grid;
  Image(std::uint64_t width, std::uint64_t height, unsigned seed)
      : pixels(random_bytes(width * height * 3, seed)), grid{pixels, width, height} {}
};

void expect_lanes_match_lone_walks(const PixelGrid& grid, std::size_t count, std::uint64_t steps,
                                   SimdLevel level, unsigned seed) {
  const auto seeds = random_bytes(count * kBlake3Size, seed);
  std::vector<ChunkResult> lanes(count);
  chunk_walk_lanes(seeds.data(), count, grid, steps, lanes.data(), {}, level);
  for (std::size_t i = 0; i < count; ++i) {
    ChunkResult lone;
    chunk_walk(seeds.data() + i * kBlake3Size, grid, steps, lone, {}, level);
    EXPECT_EQ(lanes[i].chain, lone.chain) << "chunk " << i << " of " << count << ", " << steps
                                          << " steps";
    EXPECT_EQ(lanes[i].step_digest, lone.step_digest)
        << "chunk " << i << " of " << count << ", " << steps << " steps";
  }
}

class LaneWalk : public testing::SimdLevelTest {};

// Step counts 0 to 40 end a walk at every point of the accumulator's
// 4.25-step block; 1100 crosses two re-anchorings.
TEST_P(LaneWalk, EveryChunkCountAndStepCountMatchesTheLoneWalks) {
  const Image image(300, 200, 1);
  const std::size_t lanes = chunk_lanes(GetParam());
  for (std::size_t count = 1; count <= lanes; ++count) {
    for (std::uint64_t steps : {0, 1, 4, 5, 17, 40, 1100}) {
      expect_lanes_match_lone_walks(image.grid, count, steps, GetParam(),
                                    static_cast<unsigned>(count * 1000 + steps));
    }
  }
  for (std::uint64_t steps = 0; steps <= 40; ++steps) {
    expect_lanes_match_lone_walks(image.grid, lanes, steps, GetParam(),
                                  static_cast<unsigned>(steps));
  }
}

// Images smaller than the window and than the neighbourhood clamp every
// coordinate; a long thin image has x past 2^16.
TEST_P(LaneWalk, ClampedAndWideImagesMatchTheLoneWalks) {
  for (const auto& [width, height] : {std::pair<std::uint64_t, std::uint64_t>{1, 1},
                                      {2, 3},
                                      {70, 1},
                                      {(std::uint64_t{1} << 17) + 3, 2}}) {
    const Image image(width, height, 2);
    expect_lanes_match_lone_walks(image.grid, chunk_lanes(GetParam()), 700, GetParam(), 3);
  }
}

TEST_P(LaneWalk, StopsWhenTheJobIsCancelled) {
  const Image image(64, 64, 3);
  const std::size_t count = std::min<std::size_t>(2, chunk_lanes(GetParam()));
  const auto seeds = random_bytes(count * kBlake3Size, 4);
  std::vector<ChunkResult> results(count);
  std::atomic<bool> cancel{true};
  EXPECT_THROW(chunk_walk_lanes(seeds.data(), count, image.grid, kInterruptInterval + 1,
                                results.data(), {&cancel, nullptr}, GetParam()),
               ChunkCancelled);
  // Fewer steps than one interval never look.
  EXPECT_NO_THROW(chunk_walk_lanes(seeds.data(), count, image.grid, kInterruptInterval,
                                   results.data(), {&cancel, nullptr}, GetParam()));
}

TEST_P(LaneWalk, RefusesWhatItCannotWalk) {
  const Image image(8, 8, 5);
  const auto seeds = random_bytes(32 * kBlake3Size, 6);
  std::vector<ChunkResult> results(32);
  const std::size_t lanes = chunk_lanes(GetParam());
  EXPECT_THROW(chunk_walk_lanes(seeds.data(), 0, image.grid, 1, results.data(), {}, GetParam()),
               std::logic_error);
  EXPECT_THROW(
      chunk_walk_lanes(seeds.data(), lanes + 1, image.grid, 1, results.data(), {}, GetParam()),
      std::logic_error);
  const PixelGrid short_buffer{ByteView(image.pixels).first(image.pixels.size() - 1), 8, 8};
  EXPECT_FALSE(lanes_can_walk(short_buffer));
  EXPECT_THROW(chunk_walk_lanes(seeds.data(), 1, short_buffer, 1, results.data(), {}, GetParam()),
               std::logic_error);
}

// The lanes hold every chunk's chain values, transposed: a chain value's
// 64-bit words meet only where they enter the accumulators. None may
// outlive the walk on the stack. The chain value after each step count
// comes from a lone walk of that many steps.
TEST_P(LaneWalk, LeavesNoChainValueOnTheDeadStack) {
  constexpr std::size_t kScanned = 256 * 1024;  // past the deepest lane frames of any build
  constexpr std::uint64_t kSteps = 12;
  const Image image(100, 100, 7);
  const std::size_t count = chunk_lanes(GetParam());
  const auto seeds = random_bytes(count * kBlake3Size, 8);
  std::vector<std::uint8_t> chain_values;
  for (std::size_t chunk = 0; chunk < count; ++chunk) {
    for (std::uint64_t steps = 1; steps <= kSteps; ++steps) {
      ChunkResult lone;
      chunk_walk(seeds.data() + chunk * kBlake3Size, image.grid, steps, lone, {}, GetParam());
      chain_values.insert(chain_values.end(), lone.chain.begin(), lone.chain.end());
    }
  }
  wipe_dead_stack<kScanned>();  // the lone walks' own copies
  std::vector<ChunkResult> results(count);
  chunk_walk_lanes(seeds.data(), count, image.grid, kSteps, results.data(), {}, GetParam());
  EXPECT_EQ((testing::copies_on_dead_stack<kScanned, 8>(chain_values)), 0);
}

INSTANTIATE_TEST_SUITE_P(Levels, LaneWalk, ::testing::ValuesIn(kAllSimdLevels),
                         testing::level_name);

}  // namespace
}  // namespace quorvex
