// The pipelined SHA3 walk on every SIMD level against a plain model of the
// walk: one libgcrypt call per hash, in the order the walk defines, with the
// visit digests of a layer collected and hashed at its end.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "cpu_features.hpp"
#include "dead_stack.hpp"
#include "hex.hpp"
#include "random_bytes.hpp"
#include "simd_level_test.hpp"
#include "sha3_walk.hpp"

namespace quorvex {
namespace {

using namespace sha3_walk;
using testing::random_bytes;
using testing::to_hex;

// Every secret of a walk, by layer: the walk states and visit digests of
// its steps, and its digest.
struct LayerTrace {
  std::vector<std::vector<std::uint8_t>> states, visits;
  std::vector<std::uint8_t> digest;
};

std::vector<std::uint8_t> model_walk(const std::vector<std::uint8_t>& seed, const PixelGrid& grid,
                                     std::uint64_t steps, std::uint64_t layers,
                                     std::vector<LayerTrace>* trace = nullptr) {
  std::vector<std::uint8_t> state = seed, layer_digests;
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    LayerTrace traced;
    std::vector<std::uint8_t> visits;
    for (std::uint64_t step = 0; step < steps; ++step) {
      StepMessage m;
      describe_step(grid, state.data(), m);
      std::vector<std::uint8_t> input = state;
      input.insert(input.end(), m.step_record, m.step_record + kStepRecordSize);
      input.insert(input.end(), m.step_record, m.step_record + kPositionSize);
      input.insert(input.end(), m.neighbor_bytes, m.neighbor_bytes + m.neighbor_size);
      gcry_md_hash_buffer(GCRY_MD_SHA3_512, state.data(), input.data(), input.size());
      std::vector<std::uint8_t> visit_input = state;
      visit_input.insert(visit_input.end(), m.step_record, m.step_record + kStepRecordSize);
      std::uint8_t visit[32];
      gcry_md_hash_buffer(GCRY_MD_SHA3_256, visit, visit_input.data(), visit_input.size());
      visits.insert(visits.end(), visit, visit + 32);
      if (trace != nullptr) {
        traced.states.push_back(state);
        traced.visits.emplace_back(visit, visit + 32);
      }
    }
    std::uint8_t layer_digest[64];
    gcry_md_hash_buffer(GCRY_MD_SHA3_512, layer_digest, visits.data(), visits.size());
    layer_digests.insert(layer_digests.end(), layer_digest, layer_digest + 64);
    if (trace != nullptr) {
      traced.digest.assign(layer_digest, layer_digest + 64);
      trace->push_back(std::move(traced));
    }
  }
  std::vector<std::uint8_t> pool(64);
  gcry_md_hash_buffer(GCRY_MD_SHA3_512, pool.data(), layer_digests.data(), layer_digests.size());
  return pool;
}

class Sha3WalkLevel : public testing::SimdLevelTest {
 protected:
  std::string walk(const std::vector<std::uint8_t>& seed, const PixelGrid& grid,
                   std::uint64_t steps, std::uint64_t layers) {
    const Sha3Pool pool =
        execute_multilayer_sha3_at(GetParam(), seed, grid, steps, layers, nullptr);
    return to_hex(pool);
  }
};

// Step counts around the layer hasher's block boundaries (a block holds
// 2.25 visit digests, so 9 steps fill 4 blocks exactly), image sizes from
// a single pixel to one with interior pixels, one to three layers.
TEST_P(Sha3WalkLevel, MatchesThePlainModel) {
  const std::tuple<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {2, 1}, {1, 3},
                                                            {3, 3}, {7, 5}, {64, 48}};
  const std::uint64_t step_counts[] = {0, 1, 2, 3, 4, 8, 9, 10, 17, 18, 19, 100, 1000};
  unsigned seed_number = 1;
  for (const auto& [width, height] : sizes) {
    const auto pixels = random_bytes(std::size_t{width} * height * 3, seed_number++);
    const PixelGrid grid{pixels, width, height};
    for (std::uint64_t steps : step_counts) {
      for (std::uint64_t layers : {1, 2, 3}) {
        const auto seed = random_bytes(kStateSize, seed_number++);
        ASSERT_EQ(walk(seed, grid, steps, layers), to_hex(model_walk(seed, grid, steps, layers)))
            << width << "x" << height << " steps " << steps << " layers " << layers;
      }
    }
  }
}

TEST_P(Sha3WalkLevel, NoLayersIsTheDigestOfNothing) {
  const std::vector<std::uint8_t> short_seed = {1, 2, 3};
  const PixelGrid grid{{}, 0, 0};
  EXPECT_EQ(walk(short_seed, grid, 5, 0),
            "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e9"
            "402c3ac558f500199d95b6d3e301758586281dcd26");
}

// A long walk on a larger image: every level gives the scalar level's bytes.
TEST_P(Sha3WalkLevel, SameBytesAsScalarOnALongWalk) {
  const auto pixels = random_bytes(300 * 200 * 3, 7);
  const PixelGrid grid{pixels, 300, 200};
  const auto seed = random_bytes(kStateSize, 8);
  const Sha3Pool scalar =
      execute_multilayer_sha3_at(SimdLevel::scalar, seed, grid, 20000, 2, nullptr);
  EXPECT_EQ(walk(seed, grid, 20000, 2), to_hex(scalar));
}

// What the walk hashes stays nowhere on the stack under its caller or in
// the registers, once it has returned and once an interrupt has abandoned
// it. The interrupt comes at the first check, before step 2 of layer 2: the
// pool's sponge then holds layer 1's digest as it was absorbed, and the
// layer's sponge the first visit digest, which only their destructors wipe.
TEST_P(Sha3WalkLevel, LeavesNoKeyMaterialBehind) {
  const auto pixels = random_bytes(16 * 16 * 3, 11);
  const PixelGrid grid{pixels, 16, 16};
  const auto seed = random_bytes(kStateSize, 12);
  constexpr std::uint64_t kSteps = kInterruptInterval - 5, kLayers = 2;
  std::vector<LayerTrace> trace;
  const auto pool = model_walk(seed, grid, kSteps, kLayers, &trace);
  std::vector<std::uint8_t> secrets = pool;
  const auto add = [&](const std::vector<std::uint8_t>& secret) {
    secrets.insert(secrets.end(), secret.begin(), secret.end());
  };
  for (const LayerTrace& layer : trace) {
    add(layer.digest);
    for (std::size_t step : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, kSteps - 2,
                             kSteps - 1}) {
      add(layer.states[step]);
      add(layer.visits[step]);
    }
  }
  const auto pieces = testing::telling_pieces(secrets);

  EXPECT_EQ(testing::copies_left_by<kLibraryStackDepth>(pieces, [&] {
              execute_multilayer_sha3_at(GetParam(), seed, grid, kSteps, kLayers, nullptr);
            }),
            0)
      << "after the walk";

  struct Stop {};
  int checks = 0;
  EXPECT_EQ(testing::copies_left_by<kLibraryStackDepth>(pieces, [&] {
              try {
                execute_multilayer_sha3_at(GetParam(), seed, grid, kSteps, kLayers, [&] {
                  ++checks;
                  throw Stop{};
                });
              } catch (const Stop&) {
              }
            }),
            0)
      << "after an interrupted walk";
  EXPECT_EQ(checks, 1);
}

INSTANTIATE_TEST_SUITE_P(Levels, Sha3WalkLevel, ::testing::ValuesIn(kAllSimdLevels),
                         testing::level_name);

}  // namespace
}  // namespace quorvex
