#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "blake3_chunk_walk.hpp"
#include "blake3_walk.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "random_bytes.hpp"

namespace quorvex {
namespace {

using testing::random_bytes;

// A pool of `threads` workers on `cpus` CPUs (0: one each). With fewer
// CPUs than threads a worker walks a group of chunks, side by side in
// vector lanes where that pays.
struct PoolShape {
  std::uint64_t threads, cpus;
};

class Blake3Walk : public ::testing::TestWithParam<PoolShape> {
 protected:
  std::unique_ptr<WorkerPool> pool_ =
      WorkerPool::create(GetParam().threads, start_posix_thread, GetParam().cpus);
};

TEST_P(Blake3Walk, RepeatableWhateverTheSchedule) {
  const auto pixels = random_bytes(50 * 40 * 3, 1);
  const PixelGrid grid{pixels, 50, 40};
  const std::vector<std::uint8_t> seed = {1, 2, 3};
  const Blake3Pool first = execute_multilayer_blake3_on(*pool_, seed, grid, 2000, 3, nullptr);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(execute_multilayer_blake3_on(*pool_, seed, grid, 2000, 3, nullptr), first);
  }
}

TEST_P(Blake3Walk, SmallStepCountsAllWalkOneStep) {
  const auto pixels = random_bytes(8 * 8 * 3, 2);
  const PixelGrid grid{pixels, 8, 8};
  const std::uint64_t t = GetParam().threads;
  const Blake3Pool one = execute_multilayer_blake3_on(*pool_, {}, grid, 0, 2, nullptr);
  for (std::uint64_t steps = 1; steps < 2 * t; ++steps) {
    EXPECT_EQ(execute_multilayer_blake3_on(*pool_, {}, grid, steps, 2, nullptr), one) << steps;
  }
  EXPECT_NE(execute_multilayer_blake3_on(*pool_, {}, grid, 2 * t, 2, nullptr), one);
}

TEST_P(Blake3Walk, ShortBufferFailsOnTheCallingThreadAndPoolStaysUsable) {
  const auto pixels = random_bytes(7, 3);
  const PixelGrid grid{pixels, 30, 30};
  for (int round = 0; round < 5; ++round) {
    try {
      execute_multilayer_blake3_on(*pool_, {}, grid, 100, 1, nullptr);
      FAIL() << "expected an out-of-bounds failure";
    } catch (const Panic& panic) {
      EXPECT_EQ(
          std::string(panic.what())
              .rfind(texts::kOutOfBoundsBefore + std::string("7") + texts::kOutOfBoundsBetween, 0),
          0u)
          << panic.what();
    }
  }
  const auto full = random_bytes(30 * 30 * 3, 4);
  EXPECT_NO_THROW(
      execute_multilayer_blake3_on(*pool_, {}, PixelGrid{full, 30, 30}, 100, 2, nullptr));
}

TEST_P(Blake3Walk, InterruptEndsTheWalk) {
  const auto pixels = random_bytes(64 * 64 * 3, 5);
  const PixelGrid grid{pixels, 64, 64};
  struct Stop {};
  int checks = 0;
  const InterruptCheck stop_on_third = [&] {
    if (++checks == 3) throw Stop{};
  };
  EXPECT_THROW(
      execute_multilayer_blake3_on(*pool_, {}, grid, std::uint64_t{1} << 40, 1, stop_on_third),
      Stop);
  checks = 0;
  EXPECT_THROW(
      execute_multilayer_blake3_on(*pool_, {}, grid, 1, std::uint64_t{1} << 40, stop_on_third),
      Stop);
}

INSTANTIATE_TEST_SUITE_P(Threads, Blake3Walk,
                         ::testing::Values(PoolShape{1, 0}, PoolShape{2, 0}, PoolShape{3, 0},
                                           PoolShape{4, 0}, PoolShape{5, 1}, PoolShape{9, 2},
                                           PoolShape{16, 2}, PoolShape{33, 2}),
                         [](const ::testing::TestParamInfo<PoolShape>& info) {
                           return std::to_string(info.param.threads) + "_threads_on_" +
                                  std::to_string(info.param.cpus) + "_cpus";
                         });

// Grouping chunks on fewer CPUs changes the schedule, never the result.
void expect_grouping_changes_nothing(std::uint64_t threads, std::uint64_t steps,
                                     std::initializer_list<std::uint64_t> cpu_counts) {
  const auto pixels = random_bytes(90 * 70 * 3, 6);
  const PixelGrid grid{pixels, 90, 70};
  const std::vector<std::uint8_t> seed = {4, 5};
  auto one_each = WorkerPool::create(threads, start_posix_thread);
  const Blake3Pool expected = execute_multilayer_blake3_on(*one_each, seed, grid, steps, 2, nullptr);
  for (const std::uint64_t cpus : cpu_counts) {
    auto grouped = WorkerPool::create(threads, start_posix_thread, cpus);
    EXPECT_EQ(execute_multilayer_blake3_on(*grouped, seed, grid, steps, 2, nullptr), expected)
        << threads << " threads on " << cpus << " CPUs, " << steps << " steps";
  }
}

TEST(Blake3WalkSchedule, GroupedChunksGiveWhatOneChunkPerWorkerGives) {
  for (const std::uint64_t threads : {3, 5, 9, 17}) {
    for (const std::uint64_t steps : {std::uint64_t{1}, 40 * threads}) {
      expect_grouping_changes_nothing(threads, steps, {1, 2, 3});
    }
  }
}

// Past 4096 steps a chunk looks at its cancellation flag.
TEST(Blake3WalkSchedule, GroupedChunksGiveTheSameAcrossACancellationCheck) {
  expect_grouping_changes_nothing(9, 4100 * 9, {2});
}

TEST(Blake3WalkLimits, SizesAreCheckedOnlyWhenALayerRuns) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  const std::vector<std::uint8_t> none;
  EXPECT_NO_THROW(execute_multilayer_blake3_on(*pool, {}, PixelGrid{none, 0, 0}, 5, 0, nullptr));
  for (const PixelGrid grid :
       {PixelGrid{none, 0, 1}, PixelGrid{none, 1, 0}, PixelGrid{none, 0, 1u << 31}}) {
    try {
      execute_multilayer_blake3_on(*pool, {}, grid, 5, 1, nullptr);
      ADD_FAILURE();
    } catch (const Panic& panic) {
      EXPECT_STREQ(panic.what(), texts::kZeroDivisor);
    }
  }
  try {
    execute_multilayer_blake3_on(*pool, {}, PixelGrid{none, 1u << 31, 1}, 5, 1, nullptr);
    ADD_FAILURE();
  } catch (const Panic& panic) {
    EXPECT_STREQ(panic.what(), texts::kBlake3Dimension);
  }
}

TEST(Blake3WalkLuminance, Binary32NotBinary64) {
  using blake3_walk::luminance_byte;
  EXPECT_EQ(luminance_byte(0, 72, 24), 45);  // binary64 arithmetic would give 44
  EXPECT_EQ(luminance_byte(255, 255, 255), 255);
  EXPECT_EQ(luminance_byte(0, 0, 0), 0);
}

}  // namespace
}  // namespace quorvex
