// quorvex._thread_count: the worker pool's size rule, for the quorvex
// package. The host records the BLAKE3 walk's thread count with every key.
// Asking the very C++ rule that sizes the pool, instead of a Python copy of
// it, is what makes the recorded count the one the walk used: a copy drifts
// (the control-group quota, RAYON_RS_NUM_CPUS, the parse rule) and nothing
// would notice until a key failed to reproduce on another machine.
//
// A separate private module because _quorvex_core holds exactly its five
// functions. It keeps no state, so it uses multi-phase initialisation and
// may be imported by any interpreter. Every entry holds the interpreter lock
// throughout; the rule only reads the environment, the affinity mask and a
// few small files.
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "thread_count.hpp"

namespace quorvex::py {
namespace {

// Runs `body` and turns a C++ exception into a Python one, so none reaches
// the interpreter. Returns body's new reference, or null with an exception
// set. A forced unwind is no std::exception and passes through untouched.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

// Returns a new reference to the count the pool would take if it were
// created now by the calling thread.
PyObject* pool_thread_count_entry(PyObject*, PyObject*) {
  return guarded(
      [] { return PyLong_FromUnsignedLongLong(pool_thread_count_for(current_system())); });
}

// Borrows `text`; returns a new reference to an int, or to None when the
// text is not a strict decimal number of 0 to 2^64 - 1 (text that has no
// UTF-8 form is not one either). Raises TypeError for anything but a str.
PyObject* parse_decimal_u64_entry(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text)) {
    PyObject* type_name = PyType_GetName(Py_TYPE(text));
    if (type_name != nullptr) {
      PyErr_Format(PyExc_TypeError, "parse_decimal_u64() argument must be str, not %U", type_name);
      Py_DECREF(type_name);
    }
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return guarded([&] {
    const auto value = parse_decimal_u64(std::string_view(utf8, static_cast<std::size_t>(size)));
    return value ? PyLong_FromUnsignedLongLong(*value) : Py_NewRef(Py_None);
  });
}

int add_constants(PyObject* module) {
  return PyModule_AddIntConstant(module, "MAX_THREAD_COUNT", static_cast<long>(kMaxThreadCount));
}

PyMethodDef g_functions[] = {
    {"pool_thread_count", pool_thread_count_entry, METH_NOARGS,
     "pool_thread_count()\n--\n\n"
     "The thread count the BLAKE3 walk's worker pool would take if it were "
     "created now by the calling thread: RAYON_NUM_THREADS, then "
     "RAYON_RS_NUM_CPUS, then the usable CPUs within the control group's "
     "quota; at most MAX_THREAD_COUNT."},
    {"parse_decimal_u64", parse_decimal_u64_entry, METH_O,
     "parse_decimal_u64(text, /)\n--\n\n"
     "The value of a strict decimal number (an optional '+', then ASCII "
     "digits, nothing else) of 0 to 2**64 - 1, or None: the rule the pool "
     "applies to its environment variables."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvex._thread_count",
    "The worker pool's thread-count rule, shared with the native walk.",
    0,
    g_functions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvex::py

PyMODINIT_FUNC PyInit__thread_count(void) {
  return PyModuleDef_Init(&quorvex::py::g_module_definition);
}
