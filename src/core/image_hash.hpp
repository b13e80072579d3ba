// The image hash: SHA3-256 of the packed RGB bytes, with the Keccak kernel
// of the CPU's best level (or QUORVEX_SIMD_LEVEL's), in pieces between
// which a long hash can be interrupted. Pure; safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "cpu_features.hpp"
#include "interrupt.hpp"
#include "keccak.hpp"
#include "sha3_sponge.hpp"
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

// The same packing and hashing row by row while a decoder still fills
// later rows of the image: the rows it has finished are packed and hashed
// on another thread, so the hash runs beside the decode instead of after
// it. The decoder must write whole rows, top to bottom, each as 4-byte
// pixels whose fourth byte is 255 (a decoder's RGB with its pad byte).
// That byte of each row's last pixel tells a finished row: the packer sets
// it to 0 first. decoded_rows() reads only rows the decoder is not writing
// (call it while the decoder is stopped between two pieces of input), and
// pack_until() only rows already finished, whose packed bytes land before
// any row the decoder may still write.
// Thread safety: decoded_rows() on the decoding thread, pack_until() and
// finish() on one other thread at a time (or the same), as above.
class RgbRowPacker {
 public:
  // Throws Panic if pixels holds fewer than 4 * width * height bytes.
  RgbRowPacker(std::span<std::uint8_t> pixels, std::uint64_t width, std::uint64_t height,
               SimdLevel level = active_simd_level());
  RgbRowPacker(const RgbRowPacker&) = delete;
  RgbRowPacker& operator=(const RgbRowPacker&) = delete;

  // The rows from `start` on that the decoder has finished, counted up to
  // the first unfinished one: the row after the last finished one.
  std::uint64_t decoded_rows(std::uint64_t start) const noexcept;
  // Packs and hashes every row below `row` not yet packed.
  void pack_until(std::uint64_t row) noexcept;
  // Packs the rest (the decoder is done) and returns the image hash.
  ImageHash finish() noexcept;

 private:
  std::uint8_t* pixels_;
  std::uint64_t width_;
  std::uint64_t height_;
  std::uint64_t packed_rows_ = 0;
  KeccakPermutation permute_;
  Sha3Sponge sponge_{kSha3_256Rate};
};

}  // namespace quorvex
