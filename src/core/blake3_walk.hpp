// The BLAKE3 multilayer walk: the layer loop that derives chunk seeds,
// spreads the chunk walks over the worker pool (a chunk per thread, or
// groups of chunks in vector lanes when threads outnumber CPUs; results in
// chunk order) and chains their results.
// Safe to call from any thread outside the pool. A call that finds the pool
// busy with another call walks its chunks on its own thread instead of
// waiting (same results).
#pragma once

#include <cstdint>

#include "interrupt.hpp"
#include "pixel_grid.hpp"
#include "secret.hpp"
#include "worker_pool.hpp"

namespace quorvex {

inline constexpr std::size_t kBlake3PoolSize = 32;
using Blake3Pool = SecretArray<kBlake3PoolSize>;

// The walk on the process-wide pool; the result depends on its size.
Blake3Pool execute_multilayer_blake3(ByteView initial_seed, const PixelGrid& grid,
                                     std::uint64_t steps, std::uint64_t layers,
                                     const InterruptCheck& check_interrupt);

// The same walk on a given pool, whose thread count is the chunk count.
Blake3Pool execute_multilayer_blake3_on(WorkerPool& pool, ByteView initial_seed,
                                        const PixelGrid& grid, std::uint64_t steps,
                                        std::uint64_t layers,
                                        const InterruptCheck& check_interrupt);

// The walk with `chunks` chunks a layer (at least 1), on a pool of any size:
// the chunks go to at most one worker per CPU of the pool, in groups. The
// result depends on the chunk count, never on the pool.
Blake3Pool execute_multilayer_blake3_chunks(WorkerPool& pool, std::uint64_t chunks,
                                            ByteView initial_seed, const PixelGrid& grid,
                                            std::uint64_t steps, std::uint64_t layers,
                                            const InterruptCheck& check_interrupt);

}  // namespace quorvex
