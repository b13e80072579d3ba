// The call boundary between the interpreter and the native core. Every entry
// point runs its body through call_boundary(), which turns C++ exceptions into
// Python exceptions so none ever reaches the interpreter.
// Call only on a thread that holds the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "pyref.hpp"

namespace quorvex::py {

// A Python exception travelling through C++ frames: either an exception
// object, or a type with a message that is raised as PyErr_SetObject would.
class PythonError {
 public:
  static PythonError from_object(Ref exception) { return PythonError(Ref(), std::move(exception)); }
  static PythonError from_type(PyObject* type, Ref message) {
    return PythonError(Ref::borrow(type), std::move(message));
  }
  // Sets this error as the interpreter's current exception.
  void restore();

 private:
  PythonError(Ref type, Ref value) : type_(std::move(type)), value_(std::move(value)) {}
  Ref type_;  // null when value_ is an exception object
  Ref value_;
};

// Takes the interpreter's current exception (a SystemError if there is none)
// as an object. A PanicException coming back from Python is resumed as a
// fresh fatal failure instead (throws Panic), so it cannot be mistaken for an
// ordinary error.
Ref take_current_error();

// take_current_error(), thrown as PythonError.
[[noreturn]] void throw_current_error();

// Throws PythonError of the given type with a UTF-8 message.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// New str from UTF-8 text of any content (NUL bytes included).
Ref make_str(std::string_view utf8);
// Concatenation of str objects; throws on failure.
Ref concat(PyObject* left, PyObject* right);

// A new exception object of the given type with args (message,).
Ref new_exception(PyObject* type, PyObject* message);

// Raises a pending signal handler's exception (KeyboardInterrupt, say) as a
// C++ exception; for long-running bodies.
void check_signals();

// Forgets the process-wide Python objects of a finalized interpreter.
void forget_panic_type() noexcept;

// Not noexcept: the one thing that may leave it is a forced unwind, which
// must travel on through the interpreter's frames to end the thread.
PyObject* call_boundary_impl(PyObject* (*body)(void*), void* context);

// Runs body() and returns its new reference, or null with an exception set.
template <class Body>
PyObject* call_boundary(Body&& body) {
  return call_boundary_impl(
      [](void* context) -> PyObject* { return (*static_cast<Body*>(context))(); }, &body);
}

}  // namespace quorvex::py
