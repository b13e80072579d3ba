// Failures of the native core. The core never touches Python: it throws these,
// and the call boundary turns them into Python exceptions.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// A fatal failure: a violated precondition or an internal error. Python sees
// it as PanicException carrying what(); where() and thread() name the failing
// site for the diagnostic on standard error (a failure on a pool worker is
// raised on the calling thread, but reported as the worker's).
class Panic : public std::runtime_error {
 public:
  explicit Panic(std::string message, std::source_location where = std::source_location::current());
  const std::source_location& where() const noexcept { return where_; }
  const std::string& thread() const noexcept { return thread_; }

 private:
  std::source_location where_;
  std::string thread_;
};

// The one recoverable failure of a body: the HKDF primitive refused its
// input. Python sees it as ValueError.
class HkdfError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The three-line message of a failed equality check, values in decimal, so
// a caller sees both what was found and what was required.
std::string unequal_message(std::string_view message, std::uint64_t found, std::uint64_t required);

// The message of a bounds-checked read past the end of a buffer.
std::string out_of_bounds_message(std::uint64_t length, std::uint64_t index);

// Fails with unequal_message().
[[noreturn]] void fail_unequal(std::string_view message, std::uint64_t found,
                               std::uint64_t required,
                               std::source_location where = std::source_location::current());

// Fails with out_of_bounds_message().
[[noreturn]] void fail_out_of_bounds(std::uint64_t length, std::uint64_t index,
                                     std::source_location where = std::source_location::current());

// Fails like a remainder taken by zero.
[[noreturn]] void fail_zero_divisor(std::source_location where = std::source_location::current());

}  // namespace quorvex
