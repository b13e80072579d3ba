// The worker pool's job protocol.
//
// A job is one layer's chunk walks: task(context, i) on worker i. The pool
// runs one job at a time, and the caller of a job sleeps until it is done.
// That caller holds the interpreter lock, and while it sleeps it polls for
// signals, which runs Python code: signal handlers and, since 3.12, garbage
// collection with its finalizers. That code may call the BLAKE3 walk again,
// on this thread or, after handing the interpreter lock over, on another.
// So the pool has no lock that a caller could block on: a caller claims the
// pool with a compare-and-swap and, finding it taken, walks its chunks on
// its own thread instead (the results are the same on any schedule).
//
// A job names how many workers have work (the BLAKE3 walk gives one group
// of chunks to each of at most one worker per CPU); only those are woken.
// The others sleep on, however many threads the pool has, and never spin:
// a pool of 2,000 threads on 2 CPUs wakes 2 of them per job.
//
// Shared words:
// - busy_ (WorkerPool): set by the caller that claims the pool
//   (compare-and-swap, so only one succeeds), cleared by that caller once
//   its job is done. Nobody ever waits for it to clear.
// - task_, context_, stopping_ (WorkerPool): plain fields, written only by
//   the claiming caller (or by stop_workers) before it bumps the chosen
//   workers' generation words; a worker reads them after it sees its own
//   word change (release/acquire).
// - remaining_ (WorkerPool): set by the caller to the job's task count
//   before the bumps; each woken worker decrements it after its task. The
//   worker that takes it to 0 sets done_ to 1 and wakes the caller.
// - done_ (WorkerPool): futex word; 0 while the job runs, set to 1 by the
//   last worker. The caller sleeps on it with a timeout, so it looks at the
//   clock for signal checks and at the process id for a fork (a C++ caller
//   with no signal check included) every few milliseconds.
// - generation (Worker, one per worker): futex word, bumped only by the
//   caller that hands this worker a task (and by stop_workers). The worker
//   sleeps on it while it equals the generation it last served.
// - asleep (Worker): 1 while the worker is about to sleep or sleeping on its
//   generation word, written only by that worker. The worker sets it
//   (seq_cst) before its last look at the generation and the futex wait,
//   which itself rechecks the word in the kernel; the caller bumps the
//   generation (seq_cst) before it reads asleep. Either the caller sees the
//   sleeper and wakes it, or the worker sees the new generation: no wake-up
//   is lost. A wake is skipped only when the worker cannot be asleep.
//
// The caller never leaves a job while workers may still touch its buffers:
// an interrupt (an exception from the signal check) sets the job's cancel
// flag and still waits for done_, and so does a forced unwind of the
// calling thread. After fork() the workers are gone from the child: a
// caller that finds itself in another process (at entry, or at any wake-up
// of its wait, so also after a fork between its claim and its wait) stops
// waiting, and the caller runs the whole job itself.
#include "worker_pool.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
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

void futex_wake_one(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
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

// Clears busy_ when the claiming caller leaves, on every path.
class Claim {
 public:
  explicit Claim(std::atomic<bool>& busy) noexcept : busy_(busy) {
    bool idle = false;
    held_ = busy_.compare_exchange_strong(idle, true, std::memory_order_acquire);
  }
  ~Claim() {
    if (held_) busy_.store(false, std::memory_order_release);
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  bool held() const noexcept { return held_; }

 private:
  std::atomic<bool>& busy_;
  bool held_;
};

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
  WorkerPool* pool = nullptr;
  std::uint64_t index = 0;
  pthread_t thread{};
  std::atomic<std::uint32_t> generation{0};  // bumped by a caller with a task for it
  std::atomic<std::uint32_t> asleep{0};      // written by this worker only
};

WorkerPool::WorkerPool(std::uint64_t thread_count, std::uint64_t cpus)
    : thread_count_(thread_count),
      cpus_(cpus == 0 ? thread_count : std::min(cpus, thread_count)),
      process_(getpid()) {}

std::unique_ptr<WorkerPool> WorkerPool::create(std::uint64_t count, ThreadStarter starter,
                                               std::uint64_t cpus) {
  std::unique_ptr<WorkerPool> pool(new WorkerPool(count, cpus));
  pool->workers_.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>();
    worker->pool = pool.get();
    worker->index = i;
    const int error = starter(&worker->thread, &WorkerPool::worker_main, worker.get());
    if (error != 0) {
      pool->stop_workers();
      // Only threads outside any pool call here (workers never create
      // pools), so the caller's own thread can always be the pool.
      if (error == ENOSYS || error == EOPNOTSUPP) {
        return std::unique_ptr<WorkerPool>(new WorkerPool(1, 1));
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
  // Only the owner of a pool that no job runs on gets here (tests, or a
  // failed creation), so the words are free to write.
  stopping_ = true;
  for (auto& worker : workers_) {
    worker->generation.fetch_add(1, std::memory_order_seq_cst);
    futex_wake_one(worker->generation);
  }
  for (auto& worker : workers_) pthread_join(worker->thread, nullptr);
  workers_.clear();
}

void* WorkerPool::worker_main(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  worker->pool->serve(*worker);
  return nullptr;
}

std::uint32_t WorkerPool::await_next_job(Worker& worker, std::uint32_t seen) {
  // A walk's layers come back to back, and waking a sleeping thread costs
  // tens of microseconds on a virtual machine: a worker that just had work
  // looks for its next task a while before sleeping. Yielding, not spinning
  // hard, leaves the core to the caller, which needs it to prepare that job.
  const auto give_up = std::chrono::steady_clock::now() + kWorkerLinger;
  for (unsigned round = 0;; ++round) {
    const std::uint32_t generation = worker.generation.load(std::memory_order_acquire);
    if (generation != seen) return generation;
    if (round % 16 == 15 && std::chrono::steady_clock::now() > give_up) break;
    sched_yield();
  }
  for (;;) {
    worker.asleep.store(1, std::memory_order_seq_cst);
    const std::uint32_t generation = worker.generation.load(std::memory_order_seq_cst);
    if (generation == seen) futex_wait(worker.generation, seen);
    worker.asleep.store(0, std::memory_order_relaxed);
    const std::uint32_t now = worker.generation.load(std::memory_order_acquire);
    if (now != seen) return now;
  }
}

void WorkerPool::finish_task() noexcept {
  if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    done_.store(1, std::memory_order_release);
    futex_wake_all(done_);
  }
}

void WorkerPool::serve(Worker& worker) {
  std::uint32_t seen = 0;
  for (;;) {
    seen = await_next_job(worker, seen);
    if (stopping_) return;
    // The caller waits for every worker, so the count must go down even if
    // this thread is unwound in the middle of its task.
    struct Finish {
      WorkerPool* pool;
      ~Finish() { pool->finish_task(); }
    } finish{this};
    task_(context_, worker.index);
  }
}

void WorkerPool::dispatch(Task task, void* context, std::uint64_t tasks) {
  task_ = task;
  context_ = context;
  remaining_.store(tasks, std::memory_order_relaxed);
  done_.store(0, std::memory_order_relaxed);
  for (std::uint64_t i = 0; i < tasks; ++i) {
    Worker& worker = *workers_[i];
    worker.generation.fetch_add(1, std::memory_order_seq_cst);
    if (worker.asleep.load(std::memory_order_seq_cst) != 0) futex_wake_one(worker.generation);
  }
}

bool WorkerPool::forked_away() const noexcept { return getpid() != process_; }

// Waits for done_ with no signal checks: on the way out of an interrupted
// or force-unwound wait, when the job's buffers must outlive the workers.
void WorkerPool::wait_out_workers() noexcept {
  const timespec poll{0, kInterruptPollNanoseconds};
  while (done_.load(std::memory_order_acquire) == 0 && !forked_away()) {
    futex_wait(done_, 0, &poll);
  }
}

// Returns false if the process forked while we slept (the workers are not
// in this process, the job will never finish here). The wait always has a
// timeout: a fork can also come from a signal handler of this thread, with
// no signal check of ours to run after it.
bool WorkerPool::wait_until_done(std::atomic<bool>& cancel,
                                 const InterruptCheck& check_interrupt) {
  const timespec poll{0, kInterruptPollNanoseconds};
  while (done_.load(std::memory_order_acquire) == 0) {
    futex_wait(done_, 0, &poll);
    if (check_interrupt) {
      try {
        check_interrupt();
      } catch (...) {
        // An interrupt, or the thread being ended by a forced unwind at
        // interpreter shutdown: either way the frames that own the job's
        // buffers are about to go, so the workers must be done first. The
        // exception, whatever it is, goes on unchanged.
        cancel.store(true, std::memory_order_relaxed);
        wait_out_workers();
        throw;
      }
    }
    // Python code may have run in the check, or a signal handler here.
    if (forked_away()) return false;
  }
  return true;
}

bool WorkerPool::inject_and_wait(Task task, void* context, std::uint64_t tasks,
                                 std::atomic<bool>& cancel,
                                 const InterruptCheck& check_interrupt) {
  tasks = std::min(tasks, thread_count_);
  if (workers_.empty()) {
    for (std::uint64_t i = 0; i < tasks; ++i) task(context, i);
    return true;
  }
  if (tasks == 0) return true;
  if (forked_away()) return false;
  const Claim claim(busy_);
  if (!claim.held()) return false;
  dispatch(task, context, tasks);
  return wait_until_done(cancel, check_interrupt);
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
  std::uint64_t cpus = 0;  // the CPUs it may use, decided with the size
  bool forked = false;
};

// The module's pool, sized by the thread-count rule, and the per-CPU pool.
enum class PoolKind { sized_by_rule, per_cpu };

GlobalPool& global_state(PoolKind kind) {
  static GlobalPool* const states = new GlobalPool[2];
  return states[kind == PoolKind::per_cpu ? 1 : 0];
}

// In a forked child only the forking thread exists: the parent's workers
// are gone and the pools' words may be mid-job. Abandon those pools (their
// memory is simply kept) and let the next request build new ones.
void forget_pools_in_child() noexcept {
  for (PoolKind kind : {PoolKind::sized_by_rule, PoolKind::per_cpu}) {
    GlobalPool& state = global_state(kind);
    new (&state.creation) std::mutex();
    state.forked = true;
  }
}

void decide_size(GlobalPool& state, PoolKind kind) {
  static std::once_flag fork_handler;
  std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_pools_in_child); });
  // Out of memory here (std::bad_alloc) leaves nothing decided: a later
  // call tries again.
  const SystemView system = current_system();
  const std::optional<std::uint64_t> cpus = available_parallelism(system);
  const std::uint64_t size =
      kind == PoolKind::per_cpu ? std::min(cpus.value_or(1), kMaxThreadCount)
                                : pool_thread_count_for(system);
  state.cpus = cpus.value_or(size);
  state.size = size;
}

WorkerPool& process_pool(PoolKind kind) {
  GlobalPool& state = global_state(kind);
  std::lock_guard<std::mutex> lock(state.creation);
  if (state.forked) {
    state.forked = false;
    state.pool = nullptr;  // the parent's pool, left as it is
  }
  if (state.pool != nullptr) return *state.pool;
  if (state.failed) {
    throw Panic(std::string(texts::kPoolNotInitialized) + texts::kPoolAlreadyInitialized);
  }
  if (state.size == 0) decide_size(state, kind);
  try {
    state.pool = WorkerPool::create(state.size, start_posix_thread, state.cpus).release();
  } catch (const Panic&) {
    // A thread that could not be started: creation is not tried again.
    // Running out of memory is not such a failure and is left to retry.
    state.failed = true;
    throw;
  }
  return *state.pool;
}

}  // namespace

WorkerPool& WorkerPool::global() { return process_pool(PoolKind::sized_by_rule); }

WorkerPool& WorkerPool::per_cpu() { return process_pool(PoolKind::per_cpu); }

}  // namespace quorvex
