#include "blake3_walk.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "blake3_chunk_lanes.hpp"
#include "blake3_chunk_walk.hpp"
#include "blake3_hasher.hpp"
#include "byte_order.hpp"

namespace quorvex {
namespace {

constexpr char kChunkLabel[] = "quorvex-v3-chunk";
constexpr std::size_t kChunkLabelSize = sizeof kChunkLabel - 1;
constexpr std::size_t kChunkSeedMessageSize = kBlake3Size + 8 + kChunkLabelSize;
static_assert(kChunkSeedMessageSize == 56);

// How a layer's chunks go to the pool's workers: in contiguous groups, one
// group per worker. While every worker has a CPU of its own, a group is one
// chunk. With more chunks than CPUs (a thread count set above the CPU
// count) the workers would only take turns on the CPUs; then the chunks go
// in as few groups as keep every CPU busy, and a worker walks its group
// side by side in vector lanes.
struct ChunkGroups {
  std::uint64_t size;   // chunks per group; the last may have fewer
  std::uint64_t count;  // groups, at most the pool's threads

  static ChunkGroups of(std::uint64_t chunks, std::uint64_t cpus) noexcept {
    const std::uint64_t size = chunks <= cpus ? 1 : (chunks + cpus - 1) / cpus;
    return {size, (chunks + size - 1) / size};
  }
};

// Everything a layer's chunk walks share, and their per-chunk slots. All of
// it is reserved once per call, so a layer allocates nothing.
struct LayerWork {
  LayerWork(const PixelGrid& grid, std::uint64_t steps_per_chunk, std::uint64_t chunks,
            std::uint64_t cpus)
      : grid(grid),
        steps_per_chunk(steps_per_chunk),
        lanes(lanes_can_walk(grid)),
        groups(ChunkGroups::of(chunks, cpus)),
        seeds(chunks * kBlake3Size),
        results(chunks),
        failures(chunks) {}

  const PixelGrid& grid;
  const std::uint64_t steps_per_chunk;
  const bool lanes;  // no read can fail, so chunks may share a lane walk
  const ChunkGroups groups;
  SecretBytes seeds;
  std::vector<ChunkResult> results;
  std::vector<std::exception_ptr> failures;
  std::atomic<bool> cancel{false};
  // The chain value the layer started with, set before each layer's job.
  const std::uint8_t* prev = nullptr;

  // The seeds of chunks first .. first + count - 1: BLAKE3(prev ‖ LE64(j) ‖
  // label). Each worker derives its own group's, beside the others, and
  // wipes what the library left on its stack.
  void derive_chunk_seeds(std::uint64_t first, std::uint64_t count) {
    const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;
    Blake3 hasher;
    SecretArray<kChunkSeedMessageSize> message;
    std::copy_n(prev, kBlake3Size, message.begin());
    std::copy_n(kChunkLabel, kChunkLabelSize, message.begin() + kBlake3Size + 8);
    for (std::uint64_t j = first; j < first + count; ++j) {
      put_le64(message.data() + kBlake3Size, j);
      hasher.hash(message.data(), message.size(), seeds.data() + j * kBlake3Size);
    }
  }

  // Walks chunks first .. first + count - 1 in order, side by side where
  // that is quicker. `walking` follows the chunk in hand, so that a failure
  // can be charged to it.
  void walk_group(std::uint64_t first, std::uint64_t count, std::uint64_t& walking,
                  const InterruptCheck* check_interrupt) {
    const ChunkControl control{&cancel, check_interrupt};
    for (std::uint64_t done = 0; done < count;) {
      walking = first + done;
      const std::size_t batch = lanes ? lane_batch(count - done) : 1;
      if (batch > 1) {
        chunk_walk_lanes(seeds.data() + walking * kBlake3Size, batch, grid, steps_per_chunk,
                         &results[walking], control);
      } else {
        chunk_walk(seeds.data() + walking * kBlake3Size, grid, steps_per_chunk, results[walking],
                   control);
      }
      done += batch;
    }
  }
};

// Runs on pool worker `index`, which walks group `index` (only the workers
// that have a group are given a task): a
// failure stays in the slot of the chunk it came from, to be raised on the
// calling thread once every worker has finished; the group's later chunks
// are not walked (the failure raised is the lowest chunk's, and theirs are
// higher). A forced unwind is not a failure of the chunk and goes on (it
// carries no exception object, hence no UBSan null check on its handler).
__attribute__((no_sanitize("null"))) void walk_chunk_task(void* context, std::uint64_t index) {
  auto& work = *static_cast<LayerWork*>(context);
  const std::uint64_t first = index * work.groups.size;
  const std::uint64_t count = std::min(work.groups.size, work.results.size() - first);
  std::uint64_t walking = first;
  try {
    work.derive_chunk_seeds(first, count);
    work.walk_group(first, count, walking, nullptr);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    work.failures[walking] = std::current_exception();
  }
}

// Every chunk in order on the calling thread, as one group: the first
// failure is the lowest chunk's, as on the pool.
void walk_chunks_here(LayerWork& work, const InterruptCheck& check_interrupt) {
  work.derive_chunk_seeds(0, work.results.size());
  std::uint64_t walking = 0;
  work.walk_group(0, work.results.size(), walking, &check_interrupt);
}

// The ordered parallel map of a layer: every chunk walked once, results in
// chunk order. With more than one chunk they go to the pool, a group of
// chunks per worker, while this thread sleeps; if the pool is busy with
// another call (see worker_pool.cpp for why that can happen) this thread
// walks them all.
// The lowest failing chunk's failure is raised, so the outcome never
// depends on the schedule.
void run_chunk_walks(WorkerPool& pool, LayerWork& work, const InterruptCheck& check_interrupt) {
  if (work.results.size() > 1 &&
      pool.inject_and_wait(walk_chunk_task, &work, work.groups.count, work.cancel,
                           check_interrupt)) {
    for (auto& failure : work.failures) {
      if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    }
    return;
  }
  for (auto& failure : work.failures) failure = nullptr;
  walk_chunks_here(work, check_interrupt);
}

}  // namespace

Blake3Pool execute_multilayer_blake3_chunks(WorkerPool& pool, std::uint64_t chunks,
                                            ByteView initial_seed, const PixelGrid& grid,
                                            std::uint64_t steps, std::uint64_t layers,
                                            const InterruptCheck& check_interrupt) {
  const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;  // the library's finalisations leave their output there
  chunks = std::max<std::uint64_t>(chunks, 1);
  const std::uint64_t steps_per_chunk = std::max<std::uint64_t>(steps / chunks, 1);
  SecretArray<kBlake3Size> prev;
  Blake3().hash(initial_seed.data(), initial_seed.size(), prev.data());
  Blake3 final_hash;
  if (layers > 0) {
    check_blake3_dimensions(grid);
    LayerWork work(grid, steps_per_chunk, chunks, pool.cpus());
    SecretArray<kBlake3Size> layer_digest;
    for (std::uint64_t layer = 0; layer < layers; ++layer) {
      if (layer > 0 && check_interrupt) check_interrupt();
      work.prev = prev.data();
      run_chunk_walks(pool, work, check_interrupt);

      Blake3 digest, chain;
      std::uint8_t layer_index[4];
      put_le32(layer_index, static_cast<std::uint32_t>(layer));
      digest.update(layer_index, sizeof layer_index);
      chain.update(prev.data(), prev.size());
      for (const ChunkResult& result : work.results) {
        digest.update(result.step_digest.data(), kBlake3Size);
        chain.update(result.chain.data(), kBlake3Size);
      }
      digest.finish(layer_digest.data());
      chain.finish(prev.data());
      final_hash.update(layer_digest.data(), layer_digest.size());
    }
  }
  Blake3Pool result;
  final_hash.finish(result.data());
  return result;
}

Blake3Pool execute_multilayer_blake3_on(WorkerPool& pool, ByteView initial_seed,
                                        const PixelGrid& grid, std::uint64_t steps,
                                        std::uint64_t layers,
                                        const InterruptCheck& check_interrupt) {
  return execute_multilayer_blake3_chunks(pool, pool.thread_count(), initial_seed, grid, steps,
                                          layers, check_interrupt);
}

Blake3Pool execute_multilayer_blake3(ByteView initial_seed, const PixelGrid& grid,
                                     std::uint64_t steps, std::uint64_t layers,
                                     const InterruptCheck& check_interrupt) {
  return execute_multilayer_blake3_on(WorkerPool::global(), initial_seed, grid, steps, layers,
                                      check_interrupt);
}

}  // namespace quorvex
