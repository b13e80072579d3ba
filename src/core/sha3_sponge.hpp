// The SHA-3 sponge (FIPS 202) over a Keccak state, written once for every
// permutation kernel: absorbing bytes, the SHA-3 padding, reading the
// digest. The permutation itself is the caller's, so that a caller can run
// the permutations of two sponges together (keccak.hpp). A sponge belongs
// to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "byte_order.hpp"
#include "keccak.hpp"

namespace quorvex {

// Rates (block sizes) in bytes, and digest sizes.
inline constexpr std::size_t kSha3_256Rate = 136;
inline constexpr std::size_t kSha3_512Rate = 72;
inline constexpr std::size_t kSha3_256Size = 32;
inline constexpr std::size_t kSha3_512Size = 64;

inline void xor_byte_into_state(KeccakState& state, std::size_t at, std::uint8_t byte) noexcept {
  state.lanes[at / 8] ^= std::uint64_t{byte} << (8 * (at % 8));
}

// XORs `size` bytes into the state from byte `offset` on (offset + size at
// most kKeccakStateSize). Inline: the walks call it with constant sizes.
inline void xor_into_state(KeccakState& state, std::size_t offset, const std::uint8_t* data,
                           std::size_t size) noexcept {
  for (; size > 0 && offset % 8 != 0; --size) xor_byte_into_state(state, offset++, *data++);
  for (; size >= 8; size -= 8, offset += 8, data += 8) state.lanes[offset / 8] ^= load_le64(data);
  for (; size > 0; --size) xor_byte_into_state(state, offset++, *data++);
}

// Appends the SHA-3 padding to a block of `size` bytes (size < rate): the
// domain bits 01, then pad10*1 up to the end of the rate.
inline void pad_sha3(KeccakState& state, std::size_t size, std::size_t rate) noexcept {
  xor_byte_into_state(state, size, 0x06);
  xor_byte_into_state(state, rate - 1, 0x80);
}

// Copies the first `size` bytes of the state (at most the rate): the digest.
inline void read_state(const KeccakState& state, std::uint8_t* out, std::size_t size) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) put_le64(out + i, state.lanes[i / 8]);
  for (; i < size; ++i) out[i] = static_cast<std::uint8_t>(state.lanes[i / 8] >> (8 * (i % 8)));
}

// An incremental SHA-3 hash whose permutations the caller runs: absorb
// until block_full(), permute state(), next_block(), absorb the rest. The
// state is wiped when the sponge goes out of scope.
class Sha3Sponge {
 public:
  explicit Sha3Sponge(std::size_t rate) noexcept : rate_(rate) {}
  ~Sha3Sponge();
  Sha3Sponge(const Sha3Sponge&) = delete;
  Sha3Sponge& operator=(const Sha3Sponge&) = delete;

  // Absorbs as many leading bytes of data as the current block takes and
  // returns that count. Must not be called while block_full().
  std::size_t absorb_some(const std::uint8_t* data, std::size_t size) noexcept;
  bool block_full() const noexcept { return filled_ == rate_; }
  // After the caller has permuted a full block.
  void next_block() noexcept { filled_ = 0; }
  KeccakState& state() noexcept { return state_; }

  // Absorbs all of data, permuting with `permute` as blocks fill.
  void absorb(const std::uint8_t* data, std::size_t size, KeccakPermutation permute) noexcept;
  // Pads, permutes and writes the first `size` bytes of the digest. The
  // sponge then starts over, empty.
  void finish(std::uint8_t* out, std::size_t size, KeccakPermutation permute) noexcept;

 private:
  KeccakState state_{};
  std::size_t rate_;
  std::size_t filled_ = 0;
};

// SHA-3 of data in one call: SHA3-256 with kSha3_256Rate and 32 output
// bytes, SHA3-512 with kSha3_512Rate and 64.
void sha3_digest(std::size_t rate, const std::uint8_t* data, std::size_t size, std::uint8_t* out,
                 std::size_t out_size, KeccakPermutation permute) noexcept;

}  // namespace quorvex
