// The image hash: SHA3-256 of the packed RGB bytes, with the Keccak kernel
// of the CPU's best level (or QUORVEX_SIMD_LEVEL's), in pieces between
// which a long hash can be interrupted. Pure; safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>

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

}  // namespace quorvex
