#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "errors.hpp"
#include "fixed_texts.hpp"
#include "thread_count.hpp"
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

TEST(WorkerPool, AJobRunsOnlyItsTasksWorkers) {
  auto pool = WorkerPool::create(8, start_posix_thread, 2);
  Tally tally(8);
  std::atomic<bool> cancel{false};
  for (std::uint64_t tasks : {2u, 1u, 0u, 8u, 20u}) {
    EXPECT_TRUE(pool->inject_and_wait(Tally::task, &tally, tasks, cancel, nullptr));
  }
  const int expected[8] = {4, 3, 2, 2, 2, 2, 2, 2};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(tally.runs[i].load(), expected[i]) << "worker " << i;
}

TEST(WorkerPool, ThePerCpuPoolHasAWorkerForEachCpu) {
  const std::uint64_t cpus = available_parallelism(current_system()).value_or(1);
  WorkerPool& pool = WorkerPool::per_cpu();
  EXPECT_EQ(pool.thread_count(), cpus);
  EXPECT_EQ(pool.cpus(), cpus);
  EXPECT_EQ(&WorkerPool::per_cpu(), &pool);
  EXPECT_NE(&WorkerPool::global(), &pool);
}

// Voluntary context switches of every thread of this process: a worker
// that wakes up and goes back to sleep adds at least one.
long voluntary_switches() {
  long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
    }
  }
  return total;
}

TEST(WorkerPool, IdleWorkersStayAsleep) {
  constexpr int kJobs = 200;
  auto pool = WorkerPool::create(64, start_posix_thread, 2);
  Tally tally(64);
  std::atomic<bool> cancel{false};
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // every worker settles asleep
  const long before = voluntary_switches();
  for (int job = 0; job < kJobs; ++job) {
    pool->inject_and_wait(Tally::task, &tally, 1, cancel, nullptr);
  }
  const long switches = voluntary_switches() - before;
  EXPECT_EQ(tally.runs[0].load(), kJobs);
  // Waking all 64 workers would cost at least 64 switches a job; the one
  // worker with a task and the caller cost a few.
  EXPECT_LT(switches, 8L * kJobs);
}

// The alarm handler's fork: the child's pid in the parent, 0 in the child.
volatile pid_t g_handler_fork = -1;

void fork_from_handler(int) { g_handler_fork = fork(); }

// A fork from a signal handler of the waiting caller: the child has the
// caller's claim and wait but no workers. It must notice, with no signal
// check of its own to run, and hand the job back instead of waiting for it.
TEST(WorkerPool, AForkDuringTheWaitIsNoticed) {
  auto pool = WorkerPool::create(2, start_posix_thread);
  struct sigaction action {};
  action.sa_handler = fork_from_handler;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  const itimerval once{{0, 0}, {0, 20'000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &once, nullptr), 0);
  std::atomic<bool> cancel{false};
  const bool ran = pool->inject_and_wait(Slow::task, nullptr, cancel, nullptr);
  if (g_handler_fork == 0) _exit(ran ? 1 : 42);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_TRUE(ran);
  const pid_t child = g_handler_fork;
  ASSERT_GT(child, 0);
  // The child exits 42 within a few seconds, or it waits for nothing.
  int status = 0;
  pid_t reaped = 0;
  for (int poll = 0; poll < 500 && reaped == 0; ++poll) {
    reaped = waitpid(child, &status, WNOHANG);
    if (reaped == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (reaped == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the forked caller still waits for workers it does not have";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

}  // namespace
}  // namespace quorvex
