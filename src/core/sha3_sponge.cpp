#include "sha3_sponge.hpp"

#include <algorithm>

#include "secret.hpp"

namespace quorvex {

Sha3Sponge::~Sha3Sponge() { wipe(&state_, sizeof state_); }

std::size_t Sha3Sponge::absorb_some(const std::uint8_t* data, std::size_t size) noexcept {
  const std::size_t taken = std::min(size, rate_ - filled_);
  xor_into_state(state_, filled_, data, taken);
  filled_ += taken;
  return taken;
}

void Sha3Sponge::absorb(const std::uint8_t* data, std::size_t size,
                        KeccakPermutation permute) noexcept {
  while (size > 0) {
    const std::size_t taken = absorb_some(data, size);
    data += taken;
    size -= taken;
    if (block_full()) {
      permute(state_);
      next_block();
    }
  }
}

void Sha3Sponge::finish(std::uint8_t* out, std::size_t size, KeccakPermutation permute) noexcept {
  pad_sha3(state_, filled_, rate_);
  permute(state_);
  read_state(state_, out, size);
  state_ = KeccakState{};
  filled_ = 0;
}

void sha3_digest(std::size_t rate, const std::uint8_t* data, std::size_t size, std::uint8_t* out,
                 std::size_t out_size, KeccakPermutation permute) noexcept {
  Sha3Sponge sponge(rate);
  sponge.absorb(data, size, permute);
  sponge.finish(out, out_size, permute);
}

}  // namespace quorvex
