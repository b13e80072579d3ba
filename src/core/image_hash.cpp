#include "image_hash.hpp"

#include <algorithm>

#include "keccak.hpp"
#include "sha3_sponge.hpp"

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

}  // namespace quorvex
