#include "image_hash.hpp"

#include <algorithm>
#include <cstring>

#include "errors.hpp"

namespace quorvex {

ImageHash image_hash(ByteView data, const InterruptCheck& check_interrupt, SimdLevel level) {
  const KeccakPermutation permute = keccak_kernels(level).single;
  Sha3Sponge sponge(kSha3_256Rate);
  for (std::size_t offset = 0; offset < data.size(); offset += kImageHashPiece) {
    const std::size_t piece = std::min(kImageHashPiece, data.size() - offset);
    sponge.absorb(data.data() + offset, piece, permute);
    if (check_interrupt) check_interrupt();
  }
  ImageHash digest;
  sponge.finish(digest.data(), digest.size(), permute);
  return digest;
}

namespace {

// Pixels packed and hashed per piece: 192 KiB of packed bytes, which stay
// in the cache from the packing to the hashing.
constexpr std::uint64_t kPackPiecePixels = 64 * 1024;

// Packs pixels first .. first + count - 1. Each pixel is read as 4 bytes
// before 4 bytes are written at its packed place 3 i: that store ends at
// byte 3 i + 3, before the next pixel's first byte 4 i + 4, so it never
// touches a pixel not yet read. The store's fourth byte is the next packed
// pixel's first, written again in its turn; after the last pixel it lands
// inside the 4-byte image.
void pack_pixels(std::uint8_t* pixels, std::uint64_t first, std::uint64_t count) noexcept {
  for (std::uint64_t i = first; i < first + count; ++i) {
    std::uint32_t pixel;
    std::memcpy(&pixel, pixels + 4 * i, 4);
    std::memcpy(pixels + 3 * i, &pixel, 4);
  }
}

}  // namespace

ImageHash pack_rgb_in_place(std::span<std::uint8_t> pixels, std::uint64_t pixel_count,
                            const InterruptCheck& check_interrupt, SimdLevel level) {
  if (pixel_count > pixels.size() / 4) {
    throw Panic(out_of_bounds_message(pixels.size(), pixel_count * 4));
  }
  const KeccakPermutation permute = keccak_kernels(level).single;
  Sha3Sponge sponge(kSha3_256Rate);
  std::uint64_t since_check = 0;
  for (std::uint64_t first = 0; first < pixel_count; first += kPackPiecePixels) {
    const std::uint64_t count = std::min(kPackPiecePixels, pixel_count - first);
    pack_pixels(pixels.data(), first, count);
    sponge.absorb(pixels.data() + 3 * first, 3 * count, permute);
    since_check += 3 * count;
    if (since_check >= kImageHashPiece && check_interrupt) {
      since_check = 0;
      check_interrupt();
    }
  }
  ImageHash digest;
  sponge.finish(digest.data(), digest.size(), permute);
  return digest;
}

namespace {

constexpr std::uint8_t kFinishedRowMark = 255;  // a decoder's pad byte

}  // namespace

RgbRowPacker::RgbRowPacker(std::span<std::uint8_t> pixels, std::uint64_t width,
                           std::uint64_t height, SimdLevel level)
    : pixels_(pixels.data()), width_(width), height_(height),
      permute_(keccak_kernels(level).single) {
  if (height > 0 && width > pixels.size() / 4 / height) {
    throw Panic(out_of_bounds_message(pixels.size(), width * height * 4));
  }
  if (width == 0) height_ = 0;
  for (std::uint64_t row = 0; row < height_; ++row) pixels_[4 * width_ * (row + 1) - 1] = 0;
}

std::uint64_t RgbRowPacker::decoded_rows(std::uint64_t start) const noexcept {
  std::uint64_t row = start;
  while (row < height_ && pixels_[4 * width_ * (row + 1) - 1] == kFinishedRowMark) ++row;
  return row;
}

void RgbRowPacker::pack_until(std::uint64_t row) noexcept {
  row = std::min(row, height_);
  for (; packed_rows_ < row; ++packed_rows_) {
    pack_pixels(pixels_, packed_rows_ * width_, width_);
    sponge_.absorb(pixels_ + 3 * width_ * packed_rows_, 3 * width_, permute_);
  }
}

ImageHash RgbRowPacker::finish() noexcept {
  pack_until(height_);
  ImageHash digest;
  sponge_.finish(digest.data(), digest.size(), permute_);
  return digest;
}

}  // namespace quorvex
