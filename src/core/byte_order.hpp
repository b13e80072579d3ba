// Fixed-width integer encodings for hashed messages.
#pragma once

#include <cstdint>

namespace quorvex {

inline void put_be32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

inline void put_le32(std::uint8_t* out, std::uint32_t v) noexcept {
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
  out[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void put_le64(std::uint8_t* out, std::uint64_t v) noexcept {
  put_le32(out, static_cast<std::uint32_t>(v));
  put_le32(out + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint32_t load_be32(const std::uint8_t* in) noexcept {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

inline std::uint32_t load_le32(const std::uint8_t* in) noexcept {
  return std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) | (std::uint32_t{in[2]} << 16) |
         (std::uint32_t{in[3]} << 24);
}

inline std::uint64_t load_le64(const std::uint8_t* in) noexcept {
  return std::uint64_t{load_le32(in)} | (std::uint64_t{load_le32(in + 4)} << 32);
}

// The low 32 bits of v as a signed value, two's complement, without the
// implementation-defined narrowing of older standards.
inline std::int32_t wrap_i32(std::uint64_t v) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

// a + b in signed 32-bit arithmetic that wraps instead of overflowing.
inline std::int32_t wrapping_add_i32(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace quorvex
