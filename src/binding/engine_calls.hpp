// How quorvex._engine runs a body without the interpreter lock, and how a
// Ctrl-C still reaches it.
//
// A body runs with the interpreter lock released, so other Python threads
// (a server's, an asyncio loop's) go on while it works. Signals are handled
// by CPython on the main thread only, and only under the lock; a body called
// from another thread therefore simply runs to its end, and one called from
// the main thread gives CPython a chance every kSignalCheckPeriod:
//
// - A long body (a walk, the image hash) called from the main thread runs
//   on a worker of the per-CPU pool while the calling thread sleeps in the
//   pool's wait. Every few milliseconds that wait wakes, re-takes the lock,
//   runs PyErr_CheckSignals and releases the lock again. If a handler
//   raised (KeyboardInterrupt), the wait sets the job's cancel flag, which
//   the body polls between pieces of its work, waits for the worker to let
//   go of the call's buffers, and the exception, left set in the thread
//   state, is the call's outcome. Re-taking the lock may take a switch
//   interval when another thread runs Python code: the body does not wait
//   for it, only the check does.
// - If that pool is busy with another call (nobody ever waits for it: see
//   worker_pool.cpp), or for a BLAKE3 walk (whose layer loop runs here while
//   the pool walks the chunks), the body runs on the calling thread and the
//   same check runs between its pieces, at most once a period.
// - Short bodies (the seed, the final keys: microseconds) take no checks.
//
// No native lock is held while the check runs Python code: the pool is
// claimed by a compare-and-swap that others never wait on, and the core
// holds no mutex across a check. A check may run a signal handler or the
// garbage collector that calls into the engine again, on this thread: the
// inner call finds the pool claimed and walks on its own thread.
//
// Python objects never cross the unlocked section: arguments are read as
// buffers held by the caller, results come back as C++ bytes, and a
// pending Python exception stays in the thread state while the lock is
// released. At interpreter shutdown, re-taking the lock may end the thread
// by a forced unwind; the unwind passes on untouched and releases nothing
// that would need the interpreter.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "interrupt.hpp"
#include "secret.hpp"
#include "worker_pool.hpp"

namespace quorvex::engine {

// How often a body called from the main thread lets CPython run its signal
// handlers: well inside the 0.1 s in which Ctrl-C must take effect.
inline constexpr std::chrono::milliseconds kSignalCheckPeriod{20};

// Thrown out of a body when PyErr_CheckSignals raised; the exception is
// set in the thread state.
struct Interrupted {};
// Thrown out of a body on a worker when its caller was interrupted.
struct Cancelled {};

// Set on a thread that the interpreter ends by a forced unwind while it
// tries to re-take the lock: nothing may touch the interpreter on the way
// out. Read by the argument holders' destructors.
bool thread_is_ending() noexcept;
void mark_thread_ending() noexcept;
void clear_thread_ending() noexcept;

// Whether the calling thread (holding the lock) is the interpreter's main
// thread, the one that runs signal handlers; -1 with an exception set.
int on_main_thread();

// The released lock of one call, and the signal check that briefly takes
// it back. Lives on the calling thread.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  // Re-taking the lock ends a daemon thread by a forced unwind while the
  // interpreter finalises: the unwind must leave this destructor (not
  // terminate the process, as a noexcept one would), and the argument
  // holders it passes must not touch the interpreter. It only runs on the
  // normal way out of the unlocked block, never during another unwind.
  ~ReleasedLock() noexcept(false) {
    if (thread_is_ending()) return;
    mark_thread_ending();
    PyEval_RestoreThread(state_);
    clear_thread_ending();
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  // Runs CPython's pending signal handlers under the lock; throws
  // Interrupted if one raised.
  void check_signals() {
    PyEval_RestoreThread(state_);
    const int failed = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    if (failed != 0) throw Interrupted{};
  }

  // check_signals() at most once a period.
  void check_signals_now_and_then() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return;
    next_check_ = now + kSignalCheckPeriod;
    check_signals();
  }

 private:
  PyThreadState* state_;
  std::chrono::steady_clock::time_point next_check_ =
      std::chrono::steady_clock::now() + kSignalCheckPeriod;
};

// How a body is run.
enum class Checks {
  none,        // short: no signal checks
  inline_only, // long, on the calling thread (it drives a pool itself)
  offloaded,   // long: from the main thread, on a pool worker if one is free
};

// Runs body(check) on a worker of the per-CPU pool while this thread
// checks for signals; returns nothing if no worker was free (the caller
// then runs the body itself). Rethrows the body's failure.
template <class Result, class Body>
std::optional<Result> run_on_worker(Body& body, ReleasedLock& lock) {
  struct Job {
    Body& body;
    std::optional<Result> result;
    std::exception_ptr failure;
    std::atomic<bool> cancel{false};
  } job{body, std::nullopt, nullptr};
  // The worker's task: a failure is kept for the caller; a forced unwind
  // of the worker (never expected) goes on. Polls the cancel flag. The
  // body's result passes through this frame on its way to the caller, and
  // the worker's stack outlives the call: both are wiped on the way out.
  const WorkerPool::Task task = [](void* context, std::uint64_t) {
    const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;
    Job& job = *static_cast<Job*>(context);
    const InterruptCheck cancelled = [&job] {
      if (job.cancel.load(std::memory_order_relaxed)) throw Cancelled{};
    };
    try {
      job.result.emplace(job.body(cancelled));
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      job.failure = std::current_exception();
    }
  };
  WorkerPool* pool = nullptr;
  try {
    pool = &WorkerPool::per_cpu();
  } catch (const std::exception&) {
    return std::nullopt;  // no threads to be had: the body runs here
  }
  const InterruptCheck check = [&lock] { lock.check_signals(); };
  if (!pool->inject_and_wait(task, &job, 1, job.cancel, check)) return std::nullopt;
  if (job.failure) std::rethrow_exception(job.failure);
  return std::move(job.result);
}

// Runs body(check) with the lock released, as `checks` says, and returns
// its result; its failure, or Interrupted, is thrown with the lock held
// again. Call with the lock held.
template <class Body>
auto run_unlocked(Checks checks, Body&& body) -> decltype(body(InterruptCheck{})) {
  using Result = decltype(body(InterruptCheck{}));
  bool main_thread = false;
  if (checks != Checks::none) {
    const int main = on_main_thread();
    if (main < 0) throw Interrupted{};  // the lookup's exception is set
    main_thread = main == 1;
  }
  std::optional<Result> result;
  std::exception_ptr failure;
  {
    ReleasedLock lock;
    try {
      if (main_thread && checks == Checks::offloaded) result = run_on_worker<Result>(body, lock);
      if (!result) {
        const InterruptCheck check = [&lock] { lock.check_signals_now_and_then(); };
        result.emplace(body(main_thread ? check : InterruptCheck{}));
      }
    } catch (abi::__forced_unwind&) {
      mark_thread_ending();
      throw;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace quorvex::engine
