// The BLAKE3 multilayer walk: the layer loop that derives chunk seeds,
// spreads the chunk walks over the worker pool (a chunk per thread, or
// groups of chunks in vector lanes when threads outnumber CPUs; results in
// chunk order) and chains their results.
// Safe to call from any thread outside the pool; calls take turns on it.
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

}  // namespace quorvex
