#include "sha3_sponge.hpp"

#include <algorithm>

#include "byte_order.hpp"
#include "secret.hpp"

namespace quorvex {
namespace {

void xor_byte(KeccakState& state, std::size_t at, std::uint8_t byte) noexcept {
  state.lanes[at / 8] ^= std::uint64_t{byte} << (8 * (at % 8));
}

}  // namespace

void xor_into_state(KeccakState& state, std::size_t offset, const std::uint8_t* data,
                    std::size_t size) noexcept {
  for (; size > 0 && offset % 8 != 0; --size) xor_byte(state, offset++, *data++);
  for (; size >= 8; size -= 8, offset += 8, data += 8) state.lanes[offset / 8] ^= load_le64(data);
  for (; size > 0; --size) xor_byte(state, offset++, *data++);
}

void pad_sha3(KeccakState& state, std::size_t size, std::size_t rate) noexcept {
  xor_byte(state, size, 0x06);
  xor_byte(state, rate - 1, 0x80);
}

void read_state(const KeccakState& state, std::uint8_t* out, std::size_t size) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) put_le64(out + i, state.lanes[i / 8]);
  for (; i < size; ++i) out[i] = static_cast<std::uint8_t>(state.lanes[i / 8] >> (8 * (i % 8)));
}

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
