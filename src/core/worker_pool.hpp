// The process-wide pool of worker threads that walks the chunks of a layer.
//
// Thread safety: global() and thread_count() may be called from any thread.
// inject_and_wait() may be called from any thread outside the pool; callers
// take turns. Workers never call into Python.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "interrupt.hpp"

namespace quorvex {

// Starts one worker thread running entry(argument); returns 0 or an errno
// value. Tests substitute their own to provoke creation failures.
using ThreadStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* argument);
int start_posix_thread(pthread_t* thread, void* (*entry)(void*), void* argument);

class WorkerPool {
 public:
  // A job runs task(context, i) for every i < thread_count, each on its own
  // worker. task must not throw (the chunk scheduler catches per slot).
  using Task = void (*)(void* context, std::uint64_t index) noexcept;

  // Starts `count` workers. A start failure stops the workers already
  // started; a failure meaning "no threads here" (ENOSYS, EOPNOTSUPP) yields
  // a pool of one thread, the caller's own. Other failures throw Panic.
  static std::unique_ptr<WorkerPool> create(std::uint64_t count, ThreadStarter starter);

  // The process-wide pool, created on first use with the size rule of
  // thread_count.hpp. After fork() the child gets a fresh pool of the same
  // size. Throws Panic if the pool could not be created, now or before.
  static WorkerPool& global();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Stops and joins the workers (tests only: the global pool is never
  // destroyed, so process exit never waits on it).
  ~WorkerPool();

  std::uint64_t thread_count() const noexcept { return thread_count_; }

  // Runs the job on every worker and sleeps until all have finished. While
  // it sleeps, `check_interrupt` runs every few milliseconds on the calling
  // thread; if it throws, `cancel` is set, the workers are still waited
  // for, and then the exception is rethrown. With no workers (a pool of the
  // caller's own thread) the job runs here.
  void inject_and_wait(Task task, void* context, std::atomic<bool>& cancel,
                       const InterruptCheck& check_interrupt);

 private:
  struct Worker;
  explicit WorkerPool(std::uint64_t thread_count);
  static void* worker_main(void* argument);
  void serve(std::uint64_t index);
  std::uint32_t await_next_job(std::uint32_t seen);
  void dispatch(Task task, void* context);
  void wait_until_done(std::atomic<bool>& cancel, const InterruptCheck& check_interrupt);
  void stop_workers() noexcept;

  std::uint64_t thread_count_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::mutex turn_;  // one job at a time
  Task task_ = nullptr;
  void* context_ = nullptr;
  bool stopping_ = false;
  // Futex words: bumped to publish a job; set once all workers finished.
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<std::uint32_t> done_{0};
  std::atomic<std::uint64_t> remaining_{0};
  std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace quorvex
