// Matching and conversion of a call's arguments, and conversion of results.
// Call only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "pyref.hpp"
#include "secret.hpp"

namespace quorvex::py {

inline constexpr std::size_t kMaxParameters = 6;

struct Signature {
  std::string_view function;
  std::span<const std::string_view> parameters;
};

// The arguments of one call, matched to the parameters by the constructor
// (the positional tuple first, then the keywords in the caller's order). Holds a strong
// reference to each, since user code run during conversion (__index__,
// __qualname__, str() of a key) could otherwise drop the last one while the
// body still reads its bytes. Conversions throw PythonError, already
// wrapped with the parameter's name where that applies.
class Arguments {
 public:
  Arguments(const Signature& signature, PyObject* positional, PyObject* keywords);

  ByteView convert_bytes(std::size_t index) const;
  std::uint64_t convert_u64(std::size_t index) const;
  ByteView convert_str(std::size_t index) const;

 private:
  [[noreturn]] void fail(std::size_t index, Ref exception) const;

  const Signature& signature_;
  std::array<Ref, kMaxParameters> slots_;
};

// A TypeError object "'{type}' object cannot be converted to '{target}'",
// {type} being the __qualname__ of the object's type.
Ref conversion_error(PyObject* object, std::string_view target);

// The result as a new list of ints 0..255.
PyObject* bytes_to_list(ByteView bytes);

}  // namespace quorvex::py
