#include "worker_pool.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "errors.hpp"
#include "fixed_texts.hpp"
#include "thread_count.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kWorkerStack = 2 * 1024 * 1024;
// How long the caller sleeps between checks for pending signals.
constexpr long kInterruptPollNanoseconds = 20'000'000;
// How long an idle worker keeps looking for the next job before sleeping.
constexpr std::chrono::microseconds kWorkerLinger{200};

// Futex waits and wakes on the 32-bit words of the pool: the caller and the
// workers sleep in the kernel instead of spinning.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                const timespec* timeout = nullptr) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout,
          nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

std::size_t worker_stack_size() {
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  return minimum > 0 ? std::max(kWorkerStack, static_cast<std::size_t>(minimum)) : kWorkerStack;
}

// The pool this thread works for, if it is a worker.
thread_local const WorkerPool* t_worker_of = nullptr;

}  // namespace

int start_posix_thread(pthread_t* thread, void* (*entry)(void*), void* argument) {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes)) return error;
  int error = pthread_attr_setstacksize(&attributes, worker_stack_size());
  if (error == 0) error = pthread_create(thread, &attributes, entry, argument);
  pthread_attr_destroy(&attributes);
  return error;
}

struct WorkerPool::Worker {
  WorkerPool* pool;
  std::uint64_t index;
  pthread_t thread{};
};

WorkerPool::WorkerPool(std::uint64_t thread_count) : thread_count_(thread_count) {}

std::unique_ptr<WorkerPool> WorkerPool::create(std::uint64_t count, ThreadStarter starter) {
  std::unique_ptr<WorkerPool> pool(new WorkerPool(count));
  pool->workers_.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>(Worker{pool.get(), i});
    const int error = starter(&worker->thread, &WorkerPool::worker_main, worker.get());
    if (error != 0) {
      pool->stop_workers();
      if ((error == ENOSYS || error == EOPNOTSUPP) && t_worker_of == nullptr) {
        return std::unique_ptr<WorkerPool>(new WorkerPool(1));
      }
      throw Panic(std::string(texts::kPoolNotInitialized) + texts::kPoolStartFailed +
                  std::strerror(error));
    }
    pool->workers_.push_back(std::move(worker));
  }
  return pool;
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() noexcept {
  if (workers_.empty()) return;
  {
    std::lock_guard<std::mutex> turn(turn_);
    stopping_ = true;
    generation_.fetch_add(1, std::memory_order_release);
  }
  futex_wake_all(generation_);
  for (auto& worker : workers_) pthread_join(worker->thread, nullptr);
  workers_.clear();
}

void* WorkerPool::worker_main(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  t_worker_of = worker->pool;
  worker->pool->serve(worker->index);
  return nullptr;
}

std::uint32_t WorkerPool::await_next_job(std::uint32_t seen) {
  // A walk's layers come back to back, and waking a sleeping thread costs
  // tens of microseconds on a virtual machine: look for the next job a
  // while before sleeping. Yielding, not spinning hard, leaves the core to
  // the caller, which needs it to prepare that job.
  const auto give_up = std::chrono::steady_clock::now() + kWorkerLinger;
  for (unsigned round = 0;; ++round) {
    const std::uint32_t generation = generation_.load(std::memory_order_acquire);
    if (generation != seen) return generation;
    if (round % 16 == 15 && std::chrono::steady_clock::now() > give_up) break;
    sched_yield();
  }
  for (;;) {
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    futex_wait(generation_, seen);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    const std::uint32_t generation = generation_.load(std::memory_order_acquire);
    if (generation != seen) return generation;
  }
}

void WorkerPool::serve(std::uint64_t index) {
  std::uint32_t seen = 0;
  for (;;) {
    seen = await_next_job(seen);
    if (stopping_) return;
    task_(context_, index);
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      done_.store(1, std::memory_order_release);
      futex_wake_all(done_);
    }
  }
}

void WorkerPool::dispatch(Task task, void* context) {
  task_ = task;
  context_ = context;
  remaining_.store(workers_.size(), std::memory_order_relaxed);
  done_.store(0, std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_seq_cst);
  // A worker counts itself a sleeper before it checks the generation for
  // the last time, so either it sees the new job or we see it asleep.
  if (sleepers_.load(std::memory_order_seq_cst) > 0) futex_wake_all(generation_);
}

void WorkerPool::wait_until_done(std::atomic<bool>& cancel, const InterruptCheck& check_interrupt) {
  std::exception_ptr interrupted;
  const timespec poll{0, kInterruptPollNanoseconds};
  while (done_.load(std::memory_order_acquire) == 0) {
    futex_wait(done_, 0, check_interrupt ? &poll : nullptr);
    if (!check_interrupt || interrupted) continue;
    try {
      check_interrupt();
    } catch (...) {
      // The workers read the caller's buffers: they must finish (they stop
      // early once they see the flag) before the exception unwinds them.
      interrupted = std::current_exception();
      cancel.store(true, std::memory_order_relaxed);
    }
  }
  if (interrupted) std::rethrow_exception(interrupted);
}

void WorkerPool::inject_and_wait(Task task, void* context, std::atomic<bool>& cancel,
                                 const InterruptCheck& check_interrupt) {
  if (workers_.empty()) {
    for (std::uint64_t i = 0; i < thread_count_; ++i) task(context, i);
    return;
  }
  std::lock_guard<std::mutex> turn(turn_);
  dispatch(task, context);
  wait_until_done(cancel, check_interrupt);
}

// ---------------------------------------------------------------------------
// The process-wide pool
// ---------------------------------------------------------------------------
namespace {

// Never destroyed: its workers sleep until the process exits, and nothing
// at exit waits for them. A failed creation is remembered and reported
// again on every later request.
struct GlobalPool {
  std::mutex creation;
  WorkerPool* pool = nullptr;
  bool failed = false;
  std::uint64_t size = 0;  // decided once, kept across fork()
  bool forked = false;
};

GlobalPool& global_state() {
  static GlobalPool* state = new GlobalPool;
  return *state;
}

// In a forked child only the forking thread exists: the parent's workers
// are gone and the pool's words may be mid-job. Abandon that pool (its
// memory is simply kept) and let the next request build a new one.
void forget_pool_in_child() noexcept {
  GlobalPool& state = global_state();
  new (&state.creation) std::mutex();
  state.forked = true;
}

}  // namespace

WorkerPool& WorkerPool::global() {
  GlobalPool& state = global_state();
  std::lock_guard<std::mutex> lock(state.creation);
  if (state.forked) {
    state.forked = false;
    state.pool = nullptr;  // the parent's pool, left as it is
  }
  if (state.pool != nullptr) return *state.pool;
  if (state.failed) {
    throw Panic(std::string(texts::kPoolNotInitialized) + texts::kPoolAlreadyInitialized);
  }
  if (state.size == 0) {
    state.size = pool_thread_count_for(current_system());
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
  }
  try {
    state.pool = create(state.size, start_posix_thread).release();
  } catch (...) {
    state.failed = true;
    throw;
  }
  return *state.pool;
}

}  // namespace quorvex
