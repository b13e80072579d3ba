#include "boundary.hpp"

#include <cxxabi.h>

#include <cstdio>
#include <new>
#include <source_location>

#include "errors.hpp"
#include "fixed_texts.hpp"

namespace quorvex::py {
namespace {

// The PanicException class: created on first need, kept for the life of the
// interpreter, never an attribute of the module.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, texts::kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void write_stderr(std::string_view text) noexcept {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Source paths are absolute at compile time; the part from "src/" on is
// enough to find the line.
std::string_view short_path(const char* file) {
  std::string_view path(file);
  const auto at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

void write_panic_diagnostic(std::string_view message, const std::string& thread,
                            const std::source_location& where) {
  std::string text = texts::kDiagnosticBefore + thread + texts::kDiagnosticAfterThread;
  text += short_path(where.file_name());
  text += ":" + std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
  text += message;
  text += "\n";
  write_stderr(text);
  std::fflush(stderr);
}

// Message text is UTF-8 from our own code, or the exact text of a resumed
// Python exception, lone surrogates included.
Ref decode_message(std::string_view utf8) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
}

void raise_panic(const Panic& panic) noexcept {
  try {
    write_panic_diagnostic(panic.what(), panic.thread(), panic.where());
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the interpreter's exception stands
    Ref text = decode_message(panic.what());
    if (!text) return;
    PyErr_SetObject(type, text.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

// Any other C++ exception is a fatal internal failure.
void raise_unexpected(const char* what) noexcept {
  try {
    raise_panic(Panic(what));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

// str(exception) as UTF-8, keeping lone surrogates so the text survives the
// trip through C++ unchanged.
std::string exception_text(PyObject* exception) {
  Ref text = Ref::steal(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    return texts::kUnprintablePanic;
  }
  Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!encoded) {
    PyErr_Clear();
    return texts::kUnprintablePanic;
  }
  return std::string(PyBytes_AsString(encoded.get()),
                     static_cast<std::size_t>(PyBytes_Size(encoded.get())));
}

}  // namespace

void PythonError::restore() {
  if (type_) {
    PyErr_SetObject(type_.get(), value_.get());
  } else {
    PyErr_SetRaisedException(value_.release());
  }
}

Ref take_current_error() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    return new_exception(PyExc_SystemError, make_str(texts::kNoExceptionSet).get());
  }
  if (g_panic_type != nullptr && PyErr_GivenExceptionMatches(exception.get(), g_panic_type)) {
    std::string message = exception_text(exception.get());
    write_stderr(texts::kResumingPanic);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw Panic(std::move(message));
  }
  return exception;
}

void throw_current_error() { throw PythonError::from_object(take_current_error()); }

Ref make_str(std::string_view utf8) {
  Ref text =
      Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
  if (!text) throw_current_error();
  return text;
}

Ref concat(PyObject* left, PyObject* right) {
  Ref joined = Ref::steal(PyUnicode_Concat(left, right));
  if (!joined) throw_current_error();
  return joined;
}

void throw_error(PyObject* type, std::string_view message) {
  throw PythonError::from_type(type, make_str(message));
}

Ref new_exception(PyObject* type, PyObject* message) {
  // The limited API has no one-argument call before 3.13; raising and
  // fetching at once gives the same normalized object.
  PyErr_SetObject(type, message);
  return Ref::steal(PyErr_GetRaisedException());
}

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_current_error();
}

void forget_panic_type() noexcept { g_panic_type = nullptr; }

// A forced unwind carries no exception object, so its handler binds a
// reference to nothing; UBSan's null check would report the standard idiom.
__attribute__((no_sanitize("null")))
PyObject* call_boundary_impl(PyObject* (*body)(void*), void* context) {
  try {
    return body(context);
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread (a daemon thread at shutdown) by
    // unwinding it: there is no thread state left to raise anything in,
    // and the unwind must reach the thread's start to finish.
    throw;
  } catch (PythonError& error) {
    error.restore();
  } catch (const Panic& panic) {
    raise_panic(panic);
  } catch (const HkdfError& error) {
    // The message is our own ASCII text; if even that cannot be made into a
    // str, the interpreter's MemoryError stands in for the ValueError.
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_unexpected(error.what());
  } catch (...) {
    raise_unexpected("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace quorvex::py
