#include "blake3_walk.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "blake3_chunk_walk.hpp"
#include "blake3_hasher.hpp"
#include "byte_order.hpp"

namespace quorvex {
namespace {

constexpr char kChunkLabel[] = "quorvex-v3-chunk";
constexpr std::size_t kChunkLabelSize = sizeof kChunkLabel - 1;
constexpr std::size_t kChunkSeedMessageSize = kBlake3Size + 8 + kChunkLabelSize;
static_assert(kChunkSeedMessageSize == 56);

// Everything a layer's chunk walks share, and their per-chunk slots. All of
// it is reserved once per call, so a layer allocates nothing.
struct LayerWork {
  LayerWork(const PixelGrid& grid, std::uint64_t steps_per_chunk, std::uint64_t chunks)
      : grid(grid),
        steps_per_chunk(steps_per_chunk),
        seeds(chunks * kBlake3Size),
        results(chunks),
        failures(chunks) {}

  const PixelGrid& grid;
  const std::uint64_t steps_per_chunk;
  SecretBytes seeds;
  std::vector<ChunkResult> results;
  std::vector<std::exception_ptr> failures;
  std::atomic<bool> cancel{false};

  void walk(std::uint64_t chunk, const InterruptCheck* check_interrupt) {
    chunk_walk(seeds.data() + chunk * kBlake3Size, grid, steps_per_chunk, results[chunk],
               {&cancel, check_interrupt});
  }
};

// Runs on a pool worker: a failure stays in the chunk's slot, to be raised
// on the calling thread once every chunk has finished. A forced unwind is
// not a failure of the chunk and goes on (it carries no exception object,
// hence no UBSan null check on its handler).
__attribute__((no_sanitize("null"))) void walk_chunk_task(void* context, std::uint64_t chunk) {
  auto& work = *static_cast<LayerWork*>(context);
  try {
    work.walk(chunk, nullptr);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    work.failures[chunk] = std::current_exception();
  }
}

// The chunk seeds of one layer: BLAKE3(prev ‖ LE64(j) ‖ label).
void derive_chunk_seeds(const std::uint8_t* prev, LayerWork& work) {
  Blake3 hasher;
  SecretArray<kChunkSeedMessageSize> message;
  std::copy_n(prev, kBlake3Size, message.begin());
  std::copy_n(kChunkLabel, kChunkLabelSize, message.begin() + kBlake3Size + 8);
  for (std::uint64_t j = 0; j < work.results.size(); ++j) {
    put_le64(message.data() + kBlake3Size, j);
    hasher.hash(message.data(), message.size(), work.seeds.data() + j * kBlake3Size);
  }
}

// Every chunk in order on the calling thread: the first failure is the
// lowest chunk's, as on the pool.
void walk_chunks_here(LayerWork& work, const InterruptCheck& check_interrupt) {
  for (std::uint64_t chunk = 0; chunk < work.results.size(); ++chunk) {
    work.walk(chunk, &check_interrupt);
  }
}

// The ordered parallel map of a layer: every chunk walked once, results in
// chunk order. With more than one chunk they go to the pool, one chunk per
// worker, while this thread sleeps; if the pool is busy with another call
// (see worker_pool.cpp for why that can happen) this thread walks them all.
// The lowest failing chunk's failure is raised, so the outcome never
// depends on the schedule.
void run_chunk_walks(WorkerPool& pool, LayerWork& work, const InterruptCheck& check_interrupt) {
  if (work.results.size() > 1 &&
      pool.inject_and_wait(walk_chunk_task, &work, work.cancel, check_interrupt)) {
    for (auto& failure : work.failures) {
      if (failure) std::rethrow_exception(std::exchange(failure, nullptr));
    }
    return;
  }
  for (auto& failure : work.failures) failure = nullptr;
  walk_chunks_here(work, check_interrupt);
}

}  // namespace

Blake3Pool execute_multilayer_blake3_on(WorkerPool& pool, ByteView initial_seed,
                                        const PixelGrid& grid, std::uint64_t steps,
                                        std::uint64_t layers,
                                        const InterruptCheck& check_interrupt) {
  const DeadStackWipe<kLibraryStackDepth> wipe_on_exit;  // the library's finalisations leave their output there
  const std::uint64_t chunks = pool.thread_count();
  const std::uint64_t steps_per_chunk = std::max<std::uint64_t>(steps / chunks, 1);
  SecretArray<kBlake3Size> prev;
  Blake3().hash(initial_seed.data(), initial_seed.size(), prev.data());
  Blake3 final_hash;
  if (layers > 0) {
    check_blake3_dimensions(grid);
    LayerWork work(grid, steps_per_chunk, chunks);
    SecretArray<kBlake3Size> layer_digest;
    for (std::uint64_t layer = 0; layer < layers; ++layer) {
      if (layer > 0 && check_interrupt) check_interrupt();
      derive_chunk_seeds(prev.data(), work);
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

Blake3Pool execute_multilayer_blake3(ByteView initial_seed, const PixelGrid& grid,
                                     std::uint64_t steps, std::uint64_t layers,
                                     const InterruptCheck& check_interrupt) {
  return execute_multilayer_blake3_on(WorkerPool::global(), initial_seed, grid, steps, layers,
                                      check_interrupt);
}

}  // namespace quorvex
