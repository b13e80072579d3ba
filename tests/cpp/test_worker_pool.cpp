#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "errors.hpp"
#include "fixed_texts.hpp"
#include "worker_pool.hpp"

namespace quorvex {
namespace {

// Records which worker ran which index and on which thread.
struct Tally {
  std::vector<std::atomic<int>> runs;
  explicit Tally(std::size_t n) : runs(n) {}
  static void task(void* context, std::uint64_t index) noexcept {
    static_cast<Tally*>(context)->runs[index].fetch_add(1);
  }
};

TEST(WorkerPool, RunsEveryIndexOncePerJob) {
  auto pool = WorkerPool::create(3, start_posix_thread);
  ASSERT_EQ(pool->thread_count(), 3u);
  Tally tally(3);
  std::atomic<bool> cancel{false};
  for (int round = 0; round < 1000; ++round)
    pool->inject_and_wait(Tally::task, &tally, cancel, nullptr);
  for (auto& runs : tally.runs) EXPECT_EQ(runs.load(), 1000);
}

TEST(WorkerPool, CpusAreAtMostTheThreadsAndDefaultToOneEach) {
  EXPECT_EQ(WorkerPool::create(3, start_posix_thread)->cpus(), 3u);
  EXPECT_EQ(WorkerPool::create(3, start_posix_thread, 2)->cpus(), 2u);
  EXPECT_EQ(WorkerPool::create(3, start_posix_thread, 8)->cpus(), 3u);
}

struct Slow {
  static void task(void*, std::uint64_t) noexcept {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
};

// A job the pool turns down is run by its caller, as the BLAKE3 walk does.
void run_somewhere(WorkerPool& pool, Tally& tally) {
  std::atomic<bool> cancel{false};
  if (pool.inject_and_wait(Tally::task, &tally, cancel, nullptr)) return;
  for (std::uint64_t i = 0; i < pool.thread_count(); ++i) Tally::task(&tally, i);
}

TEST(WorkerPool, CallersFromSeveralThreadsEachGetTheirJobDone) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  Tally tally(2);
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 200; ++round) run_somewhere(*pool, tally);
    });
  }
  for (auto& caller : callers) caller.join();
  for (auto& runs : tally.runs) EXPECT_EQ(runs.load(), 800);
}

// A task that holds its worker until the test lets it go.
struct Gate {
  std::atomic<int> entered{0};
  std::atomic<bool> open{false};
  static void task(void* context, std::uint64_t) {
    auto* gate = static_cast<Gate*>(context);
    gate->entered.fetch_add(1);
    while (!gate->open.load()) std::this_thread::yield();
  }
};

TEST(WorkerPool, ABusyPoolTurnsAnotherCallerAwayAtOnce) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  Gate gate;
  std::thread owner([&] {
    std::atomic<bool> cancel{false};
    EXPECT_TRUE(pool->inject_and_wait(Gate::task, &gate, cancel, nullptr));
  });
  while (gate.entered.load() < 2) std::this_thread::yield();
  Tally tally(2);
  std::atomic<bool> cancel{false};
  EXPECT_FALSE(pool->inject_and_wait(Tally::task, &tally, cancel, nullptr));
  EXPECT_EQ(tally.runs[0].load() + tally.runs[1].load(), 0);
  gate.open = true;
  owner.join();
  EXPECT_TRUE(pool->inject_and_wait(Tally::task, &tally, cancel, nullptr));
}

// The signal check of a waiting caller runs Python code, which may call the
// walk again on the same thread: that inner call must not wait for itself.
TEST(WorkerPool, ACallFromInsideTheWaitIsTurnedAway) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  Tally tally(2);
  int inner_results = 0, inner_refusals = 0;
  std::atomic<bool> cancel{false};
  const InterruptCheck reenter = [&] {
    std::atomic<bool> inner_cancel{false};
    ++inner_results;
    if (!pool->inject_and_wait(Tally::task, &tally, inner_cancel, nullptr)) ++inner_refusals;
  };
  EXPECT_TRUE(pool->inject_and_wait(Slow::task, nullptr, cancel, reenter));
  EXPECT_GT(inner_results, 0);
  EXPECT_EQ(inner_refusals, inner_results);
}

int fail_with(int error, int after, pthread_t* thread, void* (*entry)(void*), void* argument) {
  static std::atomic<int> started{0};
  if (after < 0) {
    started = 0;
    return 0;
  }
  if (started.fetch_add(1) >= after) return error;
  return start_posix_thread(thread, entry, argument);
}

TEST(WorkerPool, NoThreadSupportMeansAPoolOfTheCaller) {
  for (int error : {ENOSYS, EOPNOTSUPP}) {
    fail_with(0, -1, nullptr, nullptr, nullptr);
    ThreadStarter starter = error == ENOSYS ? +[](pthread_t* t, void* (*e)(void*),
                                                  void* a) { return fail_with(ENOSYS, 1, t, e, a); }
                                            : +[](pthread_t* t, void* (*e)(void*), void* a) {
                                                return fail_with(EOPNOTSUPP, 1, t, e, a);
                                              };
    auto pool = WorkerPool::create(4, starter, 2);
    EXPECT_EQ(pool->thread_count(), 1u);
    EXPECT_EQ(pool->cpus(), 1u);
    Tally tally(1);
    std::atomic<bool> cancel{false};
    pool->inject_and_wait(Tally::task, &tally, cancel, nullptr);
    EXPECT_EQ(tally.runs[0].load(), 1);
  }
}

TEST(WorkerPool, OtherStartFailuresAreFatal) {
  fail_with(0, -1, nullptr, nullptr, nullptr);
  try {
    WorkerPool::create(
        4, [](pthread_t* t, void* (*e)(void*), void* a) { return fail_with(EAGAIN, 2, t, e, a); });
    FAIL() << "expected a Panic";
  } catch (const Panic& panic) {
    EXPECT_EQ(std::string(panic.what()), std::string(texts::kPoolNotInitialized) +
                                             texts::kPoolStartFailed + std::strerror(EAGAIN));
  }
}

TEST(WorkerPool, InterruptWaitsForTheWorkersThenRethrows) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  std::atomic<bool> cancel{false};
  struct Stop {};
  int checks = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(pool->inject_and_wait(Slow::task, nullptr, cancel,
                                     [&] {
                                       ++checks;
                                       throw Stop{};
                                     }),
               Stop);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(checks, 1);
  EXPECT_TRUE(cancel.load());
  // Still usable afterwards.
  Tally tally(2);
  std::atomic<bool> fresh{false};
  pool->inject_and_wait(Tally::task, &tally, fresh, nullptr);
  EXPECT_EQ(tally.runs[0].load() + tally.runs[1].load(), 2);
}

}  // namespace
}  // namespace quorvex
