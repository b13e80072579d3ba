// The process-wide pool of worker threads that walks the chunks of a layer.
//
// Thread safety: every member may be called from any thread outside the
// pool. The pool runs one job at a time; a caller that finds it busy is told
// so at once and never waits for another caller, so no thread that holds the
// interpreter lock can ever block on a thread that needs it. Workers never
// call into Python.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "interrupt.hpp"

namespace quorvex {

// Starts one worker thread running entry(argument); returns 0 or an errno
// value. Tests substitute their own to provoke creation failures.
using ThreadStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* argument);
int start_posix_thread(pthread_t* thread, void* (*entry)(void*), void* argument);

class WorkerPool {
 public:
  // A job runs task(context, i) for every i < its task count (at most
  // thread_count), each on its own worker; workers past the task count are
  // left asleep. A task reports failures through its context, not by
  // throwing.
  using Task = void (*)(void* context, std::uint64_t index);

  // Starts `count` workers, which share `cpus` CPUs (0: one each). A start
  // failure stops the workers already started; a failure meaning "no
  // threads here" (ENOSYS, EOPNOTSUPP) yields a pool of one thread, the
  // caller's own. Other failures throw Panic.
  static std::unique_ptr<WorkerPool> create(std::uint64_t count, ThreadStarter starter,
                                            std::uint64_t cpus = 0);

  // The process-wide pool, created on first use with the size rule of
  // thread_count.hpp. After fork() the child gets a fresh pool of the same
  // size. Throws Panic if the pool could not be created, now or before.
  static WorkerPool& global();

  // A second process-wide pool, of one worker per CPU the process may use
  // (the available parallelism of thread_count.hpp, 1 if unknown), for
  // walks whose chunk count is their own argument. Created on first use,
  // renewed after fork() like global(); throws Panic like global().
  static WorkerPool& per_cpu();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Stops and joins the workers (tests only: the global pool is never
  // destroyed, so process exit never waits on it).
  ~WorkerPool();

  std::uint64_t thread_count() const noexcept { return thread_count_; }
  // How many of the workers can run at once: the CPUs the process may use
  // when the pool was made, at most thread_count().
  std::uint64_t cpus() const noexcept { return cpus_; }

  // Runs task(context, i) on worker i for every i < tasks (at most
  // thread_count(); the other workers are not woken) and sleeps until all
  // have finished, then returns true. With no workers (a pool of the
  // caller's own thread) the job runs here. Returns false at once, without running anything, when
  // the pool is busy with another job (another caller's, or an outer call
  // of this thread's that ran Python code while it waited), and also when
  // the process forked under a waiting caller: the caller then runs the
  // job itself; results never depend on the schedule.
  // While it sleeps, `check_interrupt` runs every few milliseconds on the
  // calling thread; if it throws, `cancel` is set, the workers are still
  // waited for, and then the exception is rethrown.
  bool inject_and_wait(Task task, void* context, std::uint64_t tasks, std::atomic<bool>& cancel,
                       const InterruptCheck& check_interrupt);
  // The same with one task per worker.
  bool inject_and_wait(Task task, void* context, std::atomic<bool>& cancel,
                       const InterruptCheck& check_interrupt) {
    return inject_and_wait(task, context, thread_count_, cancel, check_interrupt);
  }

 private:
  struct Worker;
  WorkerPool(std::uint64_t thread_count, std::uint64_t cpus);
  static void* worker_main(void* argument);
  void serve(Worker& worker);
  static std::uint32_t await_next_job(Worker& worker, std::uint32_t seen);
  void finish_task() noexcept;
  void dispatch(Task task, void* context, std::uint64_t tasks);
  bool wait_until_done(std::atomic<bool>& cancel, const InterruptCheck& check_interrupt);
  void wait_out_workers() noexcept;
  bool forked_away() const noexcept;
  void stop_workers() noexcept;

  const std::uint64_t thread_count_;
  const std::uint64_t cpus_;
  const pid_t process_;  // the process whose threads the workers are
  std::vector<std::unique_ptr<Worker>> workers_;

  // The job protocol; worker_pool.cpp explains who writes what, and when.
  std::atomic<bool> busy_{false};
  Task task_ = nullptr;      // published by a worker's generation
  void* context_ = nullptr;  // published by a worker's generation
  bool stopping_ = false;    // published by a worker's generation
  std::atomic<std::uint64_t> remaining_{0};
  std::atomic<std::uint32_t> done_{0};
  // Each worker's own generation and sleeper words live in its Worker.
};

}  // namespace quorvex
