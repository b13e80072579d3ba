// quorvex._engine: the quorvex package's own binding of the native core.
//
// _quorvex_core is the specified module: five functions that hold the
// interpreter lock and a BLAKE3 walk whose chunk count is the size of a
// process-wide pool. The package needs neither, so it has this private
// extension, built from the same core:
// - every body runs with the interpreter lock released (engine_calls.hpp:
//   how Ctrl-C still stops a long one within a fraction of a second);
// - the BLAKE3 walk takes its chunk count as an argument, any count in any
//   process, and walks the chunks on a pool of one worker per CPU the
//   process may use, in groups (so 65,535 chunks on 2 CPUs start 2
//   threads). Results depend on the count, never on the pool. Concurrent
//   calls are exact: one claims the pool, the others walk their chunks on
//   their own threads (never waiting for each other);
// - results come back as bytes, the image hash included (SHA3-256 with our
//   own Keccak at the CPU's best level);
// - the pool's size rule (the module's thread count), so that the package
//   records by default the count the module would use.
// Arguments are positional and already checked by the package; the checks
// here only keep the core's preconditions from becoming crashes.
//
// It keeps no state of its own, so it uses multi-phase initialisation and
// may be imported by any interpreter.
#include <Python.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "blake3_walk.hpp"
#include "engine_calls.hpp"
#include "errors.hpp"
#include "hash_libraries.hpp"
#include "image_hash.hpp"
#include "kdf.hpp"
#include "seed.hpp"
#include "sha3_walk.hpp"
#include "thread_count.hpp"

namespace quorvex::engine {
namespace {

thread_local bool t_thread_ending = false;

}  // namespace

bool thread_is_ending() noexcept { return t_thread_ending; }
void mark_thread_ending() noexcept { t_thread_ending = true; }
void clear_thread_ending() noexcept { t_thread_ending = false; }

int on_main_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) return -1;
  PyObject* main_thread = PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_DECREF(threading);
  if (main_thread == nullptr) return -1;
  PyObject* ident = PyObject_GetAttrString(main_thread, "ident");
  Py_DECREF(main_thread);
  if (ident == nullptr) return -1;
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

namespace {

// A bytes-like argument, held (and locked against resizing) for the call.
class BufferArgument {
 public:
  BufferArgument() = default;
  BufferArgument(const BufferArgument&) = delete;
  BufferArgument& operator=(const BufferArgument&) = delete;
  ~BufferArgument() {
    if (held_ && !thread_is_ending()) PyBuffer_Release(&view_);
  }
  // Returns false with TypeError set when `object` is not bytes-like (or,
  // with `writable`, not a writable one).
  bool take(PyObject* object, bool writable = false) {
    held_ = PyObject_GetBuffer(object, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) == 0;
    return held_;
  }
  ByteView bytes() const noexcept {
    return as_bytes(view_.buf, static_cast<std::size_t>(view_.len));
  }
  // Only after take(object, true).
  std::span<std::uint8_t> writable_bytes() const noexcept {
    return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A str argument as UTF-8, borrowed from the object (kept alive by the call).
bool take_text(PyObject* object, ByteView& text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  text = as_bytes(utf8, static_cast<std::size_t>(size));
  return true;
}

bool take_u64(PyObject* object, std::uint64_t& value) {
  value = PyLong_AsUnsignedLongLong(object);
  return !(value == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

// The BLAKE3 walk's chunk count, 1 to kMaxThreadCount; ValueError otherwise.
bool take_chunk_count(PyObject* object, std::uint64_t& chunks) {
  if (!take_u64(object, chunks)) return false;
  if (chunks >= 1 && chunks <= kMaxThreadCount) return true;
  PyErr_Format(PyExc_ValueError, "threads must be 1 to %llu",
               static_cast<unsigned long long>(kMaxThreadCount));
  return false;
}

bool expect_arguments(PyObject* args, Py_ssize_t count, const char* name) {
  if (PyTuple_Size(args) == count) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, count);
  return false;
}

PyObject* bytes_result(const std::uint8_t* data, std::size_t size) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                   static_cast<Py_ssize_t>(size));
}

// Runs `call` (which releases the lock itself through run_unlocked) and
// turns a C++ failure into a Python exception: Panic (a broken
// precondition, or threads that cannot be started) as RuntimeError with
// its message, HkdfError as ValueError. A forced unwind passes on.
template <class Call>
PyObject* guarded(Call&& call) {
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const Interrupted&) {
    return nullptr;  // the exception is set
  } catch (const HkdfError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

// generate_initial_seed(image_hash, nonce, timestamp, version) -> 64 bytes
PyObject* seed_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 4, "generate_initial_seed")) return nullptr;
  BufferArgument image_hash, nonce;
  std::uint64_t timestamp = 0;
  ByteView version;
  if (!image_hash.take(PyTuple_GetItem(args, 0)) || !nonce.take(PyTuple_GetItem(args, 1)) ||
      !take_u64(PyTuple_GetItem(args, 2), timestamp) ||
      !take_text(PyTuple_GetItem(args, 3), version)) {
    return nullptr;
  }
  return guarded([&] {
    const SecretBytes seed = run_unlocked(Checks::none, [&](const InterruptCheck&) {
      return generate_initial_seed(image_hash.bytes(), nonce.bytes(), timestamp, version);
    });
    return bytes_result(seed.data(), seed.size());
  });
}

// The arguments both walks share: seed, pixels, width, height, steps, layers.
struct WalkArguments {
  BufferArgument seed, pixels;
  std::uint64_t width = 0, height = 0, steps = 0, layers = 0;

  bool take(PyObject* args) {
    return seed.take(PyTuple_GetItem(args, 0)) && pixels.take(PyTuple_GetItem(args, 1)) &&
           take_u64(PyTuple_GetItem(args, 2), width) &&
           take_u64(PyTuple_GetItem(args, 3), height) &&
           take_u64(PyTuple_GetItem(args, 4), steps) && take_u64(PyTuple_GetItem(args, 5), layers);
  }
  PixelGrid grid() const noexcept { return PixelGrid{pixels.bytes(), width, height}; }
};

// sha3_walk(seed, pixels, width, height, steps, layers) -> 64 bytes
PyObject* sha3_walk_entry(PyObject*, PyObject* args) {
  WalkArguments walk;
  if (!expect_arguments(args, 6, "sha3_walk") || !walk.take(args)) return nullptr;
  return guarded([&] {
    const Sha3Pool pool = run_unlocked(Checks::offloaded, [&](const InterruptCheck& check) {
      return execute_multilayer_sha3(walk.seed.bytes(), walk.grid(), walk.steps, walk.layers,
                                     check);
    });
    return bytes_result(pool.data(), pool.size());
  });
}

// blake3_walk(seed, pixels, width, height, steps, layers, threads) -> 32 bytes
PyObject* blake3_walk_entry(PyObject*, PyObject* args) {
  WalkArguments walk;
  std::uint64_t chunks = 0;
  if (!expect_arguments(args, 7, "blake3_walk") || !walk.take(args) ||
      !take_chunk_count(PyTuple_GetItem(args, 6), chunks)) {
    return nullptr;
  }
  return guarded([&] {
    const Blake3Pool pool = run_unlocked(Checks::inline_only, [&](const InterruptCheck& check) {
      return execute_multilayer_blake3_chunks(WorkerPool::per_cpu(), chunks, walk.seed.bytes(),
                                              walk.grid(), walk.steps, walk.layers, check);
    });
    return bytes_result(pool.data(), pool.size());
  });
}

// derive_key_hkdf(entropy_pool, salt, info, key_size) -> key_size bytes
PyObject* hkdf_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 4, "derive_key_hkdf")) return nullptr;
  BufferArgument pool, salt, info;
  std::uint64_t key_size = 0;
  if (!pool.take(PyTuple_GetItem(args, 0)) || !salt.take(PyTuple_GetItem(args, 1)) ||
      !info.take(PyTuple_GetItem(args, 2)) || !take_u64(PyTuple_GetItem(args, 3), key_size)) {
    return nullptr;
  }
  return guarded([&] {
    const SecretBytes key = run_unlocked(Checks::none, [&](const InterruptCheck&) {
      return derive_key_hkdf(pool.bytes(), salt.bytes(), info.bytes(), key_size);
    });
    return bytes_result(key.data(), key.size());
  });
}

// derive_key_blake3(entropy_pool, context, key_size) -> key_size bytes
PyObject* blake3_key_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 3, "derive_key_blake3")) return nullptr;
  BufferArgument pool;
  ByteView context;
  std::uint64_t key_size = 0;
  if (!pool.take(PyTuple_GetItem(args, 0)) || !take_text(PyTuple_GetItem(args, 1), context) ||
      !take_u64(PyTuple_GetItem(args, 2), key_size)) {
    return nullptr;
  }
  return guarded([&] {
    const SecretBytes key = run_unlocked(Checks::none, [&](const InterruptCheck&) {
      return derive_key_blake3(pool.bytes(), context, key_size);
    });
    return bytes_result(key.data(), key.size());
  });
}

// The arguments of the whole road: the seed's, a walk's, a final key's.
struct RoadArguments {
  BufferArgument image_hash, nonce, pixels, info;
  ByteView version, context;
  std::uint64_t timestamp = 0, width = 0, height = 0, steps = 0, layers = 0, chunks = 0,
                key_size = 0;
  bool sha3_walk = true, hkdf = true;

  bool take(PyObject* args) {
    return image_hash.take(PyTuple_GetItem(args, 0)) && nonce.take(PyTuple_GetItem(args, 1)) &&
           take_u64(PyTuple_GetItem(args, 2), timestamp) &&
           take_text(PyTuple_GetItem(args, 3), version) &&
           pixels.take(PyTuple_GetItem(args, 4)) && take_u64(PyTuple_GetItem(args, 5), width) &&
           take_u64(PyTuple_GetItem(args, 6), height) &&
           take_choice(PyTuple_GetItem(args, 7), "walk", "sha3", "blake3", sha3_walk) &&
           take_u64(PyTuple_GetItem(args, 8), steps) &&
           take_u64(PyTuple_GetItem(args, 9), layers) && take_walk_chunks(PyTuple_GetItem(args, 10)) &&
           take_choice(PyTuple_GetItem(args, 11), "kdf", "hkdf", "blake3", hkdf) &&
           (hkdf ? info.take(PyTuple_GetItem(args, 12))
                 : take_text(PyTuple_GetItem(args, 12), context)) &&
           take_u64(PyTuple_GetItem(args, 13), key_size);
  }
  PixelGrid grid() const noexcept { return PixelGrid{pixels.bytes(), width, height}; }

 private:
  // `first` sets `is_first`, `second` clears it; anything else is a ValueError.
  static bool take_choice(PyObject* object, const char* name, const char* first,
                          const char* second, bool& is_first) {
    ByteView text;
    if (!take_text(object, text)) return false;
    const std::string_view chosen(reinterpret_cast<const char*>(text.data()), text.size());
    if (chosen == first || chosen == second) {
      is_first = chosen == first;
      return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must be '%s' or '%s'", name, first, second);
    return false;
  }
  // The BLAKE3 walk's chunk count; None for the SHA3 walk, which has none.
  bool take_walk_chunks(PyObject* object) {
    if (sha3_walk) {
      if (object == Py_None) return true;
      PyErr_SetString(PyExc_ValueError, "the SHA3 walk takes no threads");
      return false;
    }
    return take_chunk_count(object, chunks);
  }
};

// derive(image_hash, nonce, timestamp, version, pixels, width, height, walk,
//        steps, layers, threads, kdf, info_or_context, key_size) -> key_size bytes
// The whole road in one call, the way the package derives every key: the
// seed and the entropy pool live in memory of ours that is wiped, never in
// bytes objects, which the interpreter frees without wiping.
PyObject* derive_entry(PyObject*, PyObject* args) {
  RoadArguments road;
  if (!expect_arguments(args, 14, "derive") || !road.take(args)) return nullptr;
  const auto final_key = [&road](ByteView pool) {
    return run_unlocked(Checks::none, [&](const InterruptCheck&) {
      return road.hkdf ? derive_key_hkdf(pool, road.nonce.bytes(), road.info.bytes(), road.key_size)
                       : derive_key_blake3(pool, road.context, road.key_size);
    });
  };
  return guarded([&] {
    const SecretBytes seed = run_unlocked(Checks::none, [&](const InterruptCheck&) {
      return generate_initial_seed(road.image_hash.bytes(), road.nonce.bytes(), road.timestamp,
                                   road.version);
    });
    const ByteView seed_bytes = as_bytes(seed.data(), seed.size());
    SecretBytes key;
    if (road.sha3_walk) {
      const Sha3Pool pool = run_unlocked(Checks::offloaded, [&](const InterruptCheck& check) {
        return execute_multilayer_sha3(seed_bytes, road.grid(), road.steps, road.layers, check);
      });
      key = final_key(as_bytes(pool.data(), pool.size()));
    } else {
      const Blake3Pool pool = run_unlocked(Checks::inline_only, [&](const InterruptCheck& check) {
        return execute_multilayer_blake3_chunks(WorkerPool::per_cpu(), road.chunks, seed_bytes,
                                                road.grid(), road.steps, road.layers, check);
      });
      key = final_key(as_bytes(pool.data(), pool.size()));
    }
    return bytes_result(key.data(), key.size());
  });
}

// sha3_256(data) -> 32 bytes
PyObject* sha3_256_entry(PyObject*, PyObject* data) {
  BufferArgument bytes;
  if (!bytes.take(data)) return nullptr;
  return guarded([&] {
    const ImageHash digest = run_unlocked(Checks::offloaded, [&](const InterruptCheck& check) {
      return image_hash(bytes.bytes(), check);
    });
    return bytes_result(digest.data(), digest.size());
  });
}

// pack_rgb_in_place(rgbx, pixel_count) -> 32 bytes: packs 4-byte pixels to
// 3-byte ones at the front of the writable buffer and returns their hash.
PyObject* pack_rgb_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 2, "pack_rgb_in_place")) return nullptr;
  BufferArgument pixels;
  std::uint64_t pixel_count = 0;
  if (!pixels.take(PyTuple_GetItem(args, 0), true) ||
      !take_u64(PyTuple_GetItem(args, 1), pixel_count)) {
    return nullptr;
  }
  return guarded([&] {
    const ImageHash digest = run_unlocked(Checks::offloaded, [&](const InterruptCheck& check) {
      return pack_rgb_in_place(pixels.writable_bytes(), pixel_count, check);
    });
    return bytes_result(digest.data(), digest.size());
  });
}

// A row packer and the buffer it works in, as a capsule: the buffer stays
// exported (and so cannot be resized) for the packer's life.
struct HeldRowPacker {
  Py_buffer view{};
  std::optional<RgbRowPacker> packer;
};

constexpr char kRowPackerName[] = "quorvex._engine.row_packer";

void free_row_packer(PyObject* capsule) {
  auto* held = static_cast<HeldRowPacker*>(PyCapsule_GetPointer(capsule, kRowPackerName));
  if (held == nullptr) return;
  held->packer.reset();  // wipes the sponge
  PyBuffer_Release(&held->view);
  delete held;
}

HeldRowPacker* row_packer_of(PyObject* capsule) {
  return static_cast<HeldRowPacker*>(PyCapsule_GetPointer(capsule, kRowPackerName));
}

// row_packer(pixels, width, height) -> capsule
PyObject* row_packer_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 3, "row_packer")) return nullptr;
  std::uint64_t width = 0, height = 0;
  if (!take_u64(PyTuple_GetItem(args, 1), width) || !take_u64(PyTuple_GetItem(args, 2), height)) {
    return nullptr;
  }
  auto held = std::make_unique<HeldRowPacker>();
  if (PyObject_GetBuffer(PyTuple_GetItem(args, 0), &held->view, PyBUF_WRITABLE) < 0) {
    return nullptr;
  }
  PyObject* made = guarded([&] {
    held->packer.emplace(
        std::span<std::uint8_t>(static_cast<std::uint8_t*>(held->view.buf),
                                static_cast<std::size_t>(held->view.len)),
        width, height);
    return PyCapsule_New(held.get(), kRowPackerName, free_row_packer);
  });
  if (made == nullptr) {
    PyBuffer_Release(&held->view);
    return nullptr;
  }
  held.release();  // owned by the capsule now
  return made;
}

// decoded_rows(packer, start) -> int
PyObject* decoded_rows_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 2, "decoded_rows")) return nullptr;
  HeldRowPacker* held = row_packer_of(PyTuple_GetItem(args, 0));
  std::uint64_t start = 0;
  if (held == nullptr || !take_u64(PyTuple_GetItem(args, 1), start)) return nullptr;
  return PyLong_FromUnsignedLongLong(held->packer->decoded_rows(start));
}

// pack_rows(packer, until) -> None, without the lock
PyObject* pack_rows_entry(PyObject*, PyObject* args) {
  if (!expect_arguments(args, 2, "pack_rows")) return nullptr;
  HeldRowPacker* held = row_packer_of(PyTuple_GetItem(args, 0));
  std::uint64_t until = 0;
  if (held == nullptr || !take_u64(PyTuple_GetItem(args, 1), until)) return nullptr;
  return guarded([&] {
    run_unlocked(Checks::none, [&](const InterruptCheck&) {
      held->packer->pack_until(until);
      return true;
    });
    return Py_NewRef(Py_None);
  });
}

// finish_rows(packer) -> 32 bytes, without the lock
PyObject* finish_rows_entry(PyObject*, PyObject* capsule) {
  HeldRowPacker* held = row_packer_of(capsule);
  if (held == nullptr) return nullptr;
  return guarded([&] {
    const ImageHash digest = run_unlocked(
        Checks::none, [&](const InterruptCheck&) { return held->packer->finish(); });
    return bytes_result(digest.data(), digest.size());
  });
}

PyObject* pool_thread_count_entry(PyObject*, PyObject*) {
  return guarded(
      [] { return PyLong_FromUnsignedLongLong(pool_thread_count_for(current_system())); });
}

// Borrows `text`; returns an int, or None when the text is not a strict
// decimal number of 0 to 2^64 - 1 (text with no UTF-8 form is not one).
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

int prepare_module(PyObject* module) {
  // libgcrypt is set up once, under the lock, before any body runs without it.
  try {
    prepare_hash_libraries();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ImportError, error.what());
    return -1;
  }
  return PyModule_AddIntConstant(module, "MAX_THREAD_COUNT", static_cast<long>(kMaxThreadCount));
}

PyMethodDef g_functions[] = {
    {"generate_initial_seed", seed_entry, METH_VARARGS,
     "generate_initial_seed(image_hash, nonce, timestamp, version, /)\n--\n\n"
     "The 64-byte initial seed."},
    {"sha3_walk", sha3_walk_entry, METH_VARARGS,
     "sha3_walk(initial_seed, pixels, width, height, steps, layers, /)\n--\n\n"
     "The SHA3 walk's 64-byte entropy pool."},
    {"blake3_walk", blake3_walk_entry, METH_VARARGS,
     "blake3_walk(initial_seed, pixels, width, height, steps, layers, threads, /)\n--\n\n"
     "The BLAKE3 walk's 32-byte entropy pool with `threads` chunks a layer (1 to "
     "MAX_THREAD_COUNT), walked on one worker per CPU."},
    {"derive_key_hkdf", hkdf_entry, METH_VARARGS,
     "derive_key_hkdf(entropy_pool, salt, info, key_size, /)\n--\n\n"
     "The HKDF-SHA256 final key."},
    {"derive_key_blake3", blake3_key_entry, METH_VARARGS,
     "derive_key_blake3(entropy_pool, context, key_size, /)\n--\n\n"
     "The BLAKE3 final key."},
    {"derive", derive_entry, METH_VARARGS,
     "derive(image_hash, nonce, timestamp, version, pixels, width, height, walk, steps, "
     "layers, threads, kdf, info_or_context, key_size, /)\n--\n\n"
     "The final key from the image hash and the pixels, in one call: walk is "
     "'sha3' (threads None) or 'blake3' (threads 1 to MAX_THREAD_COUNT), kdf "
     "'hkdf' (info bytes, the nonce as salt) or 'blake3' (context str). The "
     "seed and the entropy pool never leave wiped native memory."},
    {"sha3_256", sha3_256_entry, METH_O,
     "sha3_256(data, /)\n--\n\n"
     "SHA3-256 of a bytes-like object: the image hash."},
    {"pack_rgb_in_place", pack_rgb_entry, METH_VARARGS,
     "pack_rgb_in_place(pixels, pixel_count, /)\n--\n\n"
     "Packs pixel_count 4-byte pixels (R, G, B, pad or alpha) of the writable "
     "buffer into 3-byte R, G, B pixels at its front and returns the SHA3-256 "
     "of those packed bytes."},
    {"row_packer", row_packer_entry, METH_VARARGS,
     "row_packer(pixels, width, height, /)\n--\n\n"
     "A packer of the rows a decoder writes into the writable buffer as 4-byte "
     "RGB pixels (pad byte 255): marks each row unfinished."},
    {"decoded_rows", decoded_rows_entry, METH_VARARGS,
     "decoded_rows(packer, start, /)\n--\n\n"
     "The row after the last finished one, counting from `start`; only while "
     "the decoder is stopped."},
    {"pack_rows", pack_rows_entry, METH_VARARGS,
     "pack_rows(packer, until, /)\n--\n\n"
     "Packs to 3-byte RGB in place and hashes every finished row below `until`."},
    {"finish_rows", finish_rows_entry, METH_O,
     "finish_rows(packer, /)\n--\n\n"
     "Packs the remaining rows and returns the SHA3-256 of all packed bytes."},
    {"pool_thread_count", pool_thread_count_entry, METH_NOARGS,
     "pool_thread_count()\n--\n\n"
     "The thread count _quorvex_core's worker pool would take if it were "
     "created now by the calling thread: RAYON_NUM_THREADS, then "
     "RAYON_RS_NUM_CPUS, then the usable CPUs within the control group's "
     "quota; at most MAX_THREAD_COUNT. The package's default chunk count."},
    {"parse_decimal_u64", parse_decimal_u64_entry, METH_O,
     "parse_decimal_u64(text, /)\n--\n\n"
     "The value of a strict decimal number (an optional '+', then ASCII "
     "digits, nothing else) of 0 to 2**64 - 1, or None: the rule the pool "
     "applies to its environment variables."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(prepare_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvex._engine",
    "The quorvex package's native engine: the core without the interpreter lock.",
    0,
    g_functions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvex::engine

PyMODINIT_FUNC PyInit__engine(void) {
  return PyModuleDef_Init(&quorvex::engine::g_module_definition);
}
