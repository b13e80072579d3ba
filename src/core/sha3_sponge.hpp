// The SHA-3 sponge (FIPS 202) over a Keccak state, written once for every
// permutation kernel: absorbing bytes, the SHA-3 padding, reading the
// digest. The permutation itself is the caller's, so that a caller can run
// the permutations of two sponges together (keccak.hpp). A sponge belongs
// to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keccak.hpp"

namespace quorvex {

// Rates (block sizes) in bytes, and digest sizes.
inline constexpr std::size_t kSha3_256Rate = 136;
inline constexpr std::size_t kSha3_512Rate = 72;
inline constexpr std::size_t kSha3_256Size = 32;
inline constexpr std::size_t kSha3_512Size = 64;

// XORs `size` bytes into the state from byte `offset` on (offset + size at
// most kKeccakStateSize).
void xor_into_state(KeccakState& state, std::size_t offset, const std::uint8_t* data,
                    std::size_t size) noexcept;

// Appends the SHA-3 padding to a block of `size` bytes (size < rate): the
// domain bits 01, then pad10*1 up to the end of the rate.
void pad_sha3(KeccakState& state, std::size_t size, std::size_t rate) noexcept;

// Copies the first `size` bytes of the state (at most the rate): the digest.
void read_state(const KeccakState& state, std::uint8_t* out, std::size_t size) noexcept;

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
