// The image hash: SHA3-256 of the packed RGB bytes, with the Keccak kernel
// of the CPU's best level (or QUORVEX_SIMD_LEVEL's), in pieces between
// which a long hash can be interrupted. Pure; safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cpu_features.hpp"
#include "interrupt.hpp"
#include "secret.hpp"

namespace quorvex {

inline constexpr std::size_t kImageHashSize = 32;
using ImageHash = std::array<std::uint8_t, kImageHashSize>;

// Bytes hashed between two interrupt checks: a few milliseconds' work.
inline constexpr std::size_t kImageHashPiece = 2 * 1024 * 1024;

// SHA3-256 of data. check_interrupt (may be empty) runs after each piece.
ImageHash image_hash(ByteView data, const InterruptCheck& check_interrupt,
                     SimdLevel level = active_simd_level());

// Pixels as a decoder keeps 8-bit RGB: 4 bytes each (R, G, B, then a pad
// or alpha byte), in `pixels` (at least 4 * pixel_count bytes). Packs them
// in place into 3-byte R, G, B pixels at the front of the same memory and
// returns the image hash of those packed bytes, hashing each piece while it
// is still in the cache: one pass, no second copy of the image. On an
// interrupt the memory is left part packed.
ImageHash pack_rgb_in_place(std::span<std::uint8_t> pixels, std::uint64_t pixel_count,
                            const InterruptCheck& check_interrupt,
                            SimdLevel level = active_simd_level());

}  // namespace quorvex
