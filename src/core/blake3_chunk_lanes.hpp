// Several chunks of the BLAKE3 walk side by side, one chunk per SIMD lane.
// A lone chunk walk is one long dependency chain (two compressions per
// step, each waiting for the last); chunks are independent, so when a
// thread has more than one chunk to walk, walking them in the lanes of
// one vector fills the vector units instead of waiting on them. The
// results are those of chunk_walk for each chunk. Pure; safe to call from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blake3_chunk_walk.hpp"
#include "cpu_features.hpp"

namespace quorvex {

// Chunks one call walks side by side at most: 8 at avx2, 16 at avx512; 1
// at the scalar level, which walks the chunks one after another.
std::size_t chunk_lanes(SimdLevel level = active_simd_level()) noexcept;

// How many of `remaining` chunks (at least 1) to walk side by side next:
// as many as one call takes, when that is quicker than walking them one
// after another; 1 when it is not (walk the next chunk alone).
std::size_t lane_batch(std::size_t remaining, SimdLevel level = active_simd_level()) noexcept;

// True when no read of any chunk walk over `grid` can fail, which the lane
// walk requires (it has no per-lane failure).
bool lanes_can_walk(const PixelGrid& grid) noexcept;

// Walks `count` chunks (1 <= count <= chunk_lanes(level)), chunk i from the
// 32 bytes at seeds + 32 i into results[i], each exactly as chunk_walk
// would. The grid must pass check_blake3_dimensions and lanes_can_walk.
// Throws ChunkCancelled, or what the interrupt check throws, as chunk_walk
// does.
void chunk_walk_lanes(const std::uint8_t* seeds, std::size_t count, const PixelGrid& grid,
                      std::uint64_t steps, ChunkResult* results, ChunkControl control = {},
                      SimdLevel level = active_simd_level());

}  // namespace quorvex
