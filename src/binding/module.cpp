// The module _quorvex_core: its export, its function table and the entry
// points that hand each call to the call boundary.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>

#include "args.hpp"
#include "blake3_walk.hpp"
#include "boundary.hpp"
#include "errors.hpp"
#include "fixed_texts.hpp"
#include "hash_libraries.hpp"
#include "kdf.hpp"
#include "seed.hpp"
#include "sha3_walk.hpp"

namespace quorvex::py {
namespace {

// Process-wide state: the interpreter that owns the module and the module
// object it got. Both are forgotten (not released) when that interpreter is
// finalized, so a re-initialized interpreter never sees a dead one's objects.
std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

constexpr std::string_view kSeedParameters[] = {"image_hash", "nonce", "timestamp", "version"};
constexpr std::string_view kWalkParameters[] = {"initial_seed", "pixels", "width",
                                                "height",       "steps",  "layers"};
constexpr std::string_view kHkdfParameters[] = {"entropy_pool", "salt", "info", "key_size"};
constexpr std::string_view kBlake3KeyParameters[] = {"entropy_pool", "context", "key_size"};

constexpr Signature kSeedSignature{"generate_initial_seed", kSeedParameters};
constexpr Signature kSha3WalkSignature{"execute_multilayer_sha3", kWalkParameters};
constexpr Signature kBlake3WalkSignature{"execute_multilayer_blake3", kWalkParameters};
constexpr Signature kHkdfSignature{"derive_key_hkdf", kHkdfParameters};
constexpr Signature kBlake3KeySignature{"derive_key_blake3", kBlake3KeyParameters};

// How a parameter is converted, by kind.
constexpr auto kBytes = &Arguments::convert_bytes;
constexpr auto kU64 = &Arguments::convert_u64;
constexpr auto kStr = &Arguments::convert_str;

// The entry of a function: matches the call's arguments to kSignature,
// converts them with kConvert (one per parameter, in parameter order) and
// hands the values to kBody, whose bytes become the result list. A braced
// list is evaluated left to right, so the first parameter that fails to
// convert is the one reported and no later one is looked at.
template <const Signature& kSignature, auto kBody, auto... kConvert>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
  static_assert(sizeof...(kConvert) == kSignature.parameters.size());
  return call_boundary([&] {
    const Arguments arguments(kSignature, args, kwargs);
    return [&]<std::size_t... kIndex>(std::index_sequence<kIndex...>) {
      const std::tuple values{(arguments.*kConvert)(kIndex)...};
      return bytes_to_list(std::apply(kBody, values));
    }
    (std::index_sequence_for<decltype(kConvert)...>());
  });
}

// Both walks read the pixels as a grid and may be interrupted by a signal.
template <auto kWalk>
auto walk_body(ByteView initial_seed, ByteView pixels, std::uint64_t width, std::uint64_t height,
               std::uint64_t steps, std::uint64_t layers) {
  return kWalk(initial_seed, PixelGrid{pixels, width, height}, steps, layers, check_signals);
}

constexpr auto generate_initial_seed_entry =
    entry<kSeedSignature, generate_initial_seed, kBytes, kBytes, kU64, kStr>;
constexpr auto execute_multilayer_sha3_entry =
    entry<kSha3WalkSignature, walk_body<execute_multilayer_sha3>, kBytes, kBytes, kU64, kU64, kU64,
          kU64>;
constexpr auto execute_multilayer_blake3_entry =
    entry<kBlake3WalkSignature, walk_body<execute_multilayer_blake3>, kBytes, kBytes, kU64, kU64,
          kU64, kU64>;
constexpr auto derive_key_hkdf_entry =
    entry<kHkdfSignature, derive_key_hkdf, kBytes, kBytes, kBytes, kU64>;
constexpr auto derive_key_blake3_entry =
    entry<kBlake3KeySignature, derive_key_blake3, kBytes, kStr, kU64>;

template <PyObject* (*Entry)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction as_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// Docstrings start with the text signature, which the interpreter turns into
// __text_signature__. The table lives for the whole process: function
// objects keep pointers into it.
PyMethodDef g_functions[] = {
    {"generate_initial_seed", as_method<generate_initial_seed_entry>(),
     METH_VARARGS | METH_KEYWORDS, texts::kSeedDoc},
    {"execute_multilayer_sha3", as_method<execute_multilayer_sha3_entry>(),
     METH_VARARGS | METH_KEYWORDS, texts::kSha3WalkDoc},
    {"execute_multilayer_blake3", as_method<execute_multilayer_blake3_entry>(),
     METH_VARARGS | METH_KEYWORDS, texts::kBlake3WalkDoc},
    {"derive_key_hkdf", as_method<derive_key_hkdf_entry>(), METH_VARARGS | METH_KEYWORDS,
     texts::kHkdfDoc},
    {"derive_key_blake3", as_method<derive_key_blake3_entry>(), METH_VARARGS | METH_KEYWORDS,
     texts::kBlake3KeyDoc},
};

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT, "_quorvex_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Runs from Py_FinalizeEx once the interpreter is gone: drop our pointers
// without touching the objects, which died with it.
void forget_interpreter() {
  g_module = nullptr;
  forget_panic_type();
  g_owner_interpreter.store(-1);
}

void claim_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw_current_error();
  std::int64_t expected = -1;
  if (g_owner_interpreter.compare_exchange_strong(expected, current)) {
    Py_AtExit(forget_interpreter);
  } else if (expected != current) {
    throw_error(PyExc_ImportError, texts::kSubinterpreter);
  }
}

Ref module_all(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current_error();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      throw_current_error();
    }
    return all;
  }
  if (!PyList_Check(all.get())) {
    throw PythonError::from_object(conversion_error(all.get(), texts::kListTarget));
  }
  return all;
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  Ref function = Ref::steal(PyCMethod_New(&def, module, module_name, nullptr));
  if (!function) throw_current_error();
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) throw_current_error();
  if (!has_type_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    throw PythonError::from_object(conversion_error(name.get(), texts::kStringTarget));
  }
  Ref all = module_all(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    throw Panic(texts::kAppendToAllFailed);
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
    throw_current_error();
  }
}

PyObject* initialize_module() {
  claim_interpreter();
  prepare_hash_libraries();
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create2(&g_module_definition, 3));
  if (!module) throw_current_error();
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) throw_current_error();
  for (PyMethodDef& def : g_functions) {
    add_function(module.get(), module_name.get(), def);
  }
  if (g_module == nullptr) g_module = module.release();
  return Py_NewRef(g_module);
}

}  // namespace
}  // namespace quorvex::py

PyMODINIT_FUNC PyInit__quorvex_core(void) {
  return quorvex::py::call_boundary([] { return quorvex::py::initialize_module(); });
}
