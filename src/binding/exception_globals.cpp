// The C++ runtime's per-thread exception bookkeeping, kept in static TLS.
//
// The runtime finds a thread's exceptions in flight through
// __cxa_get_globals(). libstdc++ keeps that record in dynamic TLS, which the
// dynamic linker allocates with malloc on a thread's first throw, and if that
// allocation fails it ends the process ("cannot allocate memory for
// thread-local data"). Out of memory is exactly when a body throws
// std::bad_alloc, so a Python thread's first MemoryError would kill the
// interpreter. The module links libstdc++ statically and supplies these two
// functions, so the linker never pulls in libstdc++'s own, and keeps the
// record in initial-exec TLS: the loader reserves it for every thread, the
// existing ones included, when the module is loaded, and it never
// allocates afterwards.
//
// The record is the Itanium C++ ABI's __cxa_eh_globals (caught exceptions,
// uncaught count); the spare room is margin for runtimes that keep more
// there. Only the module itself links these (the GoogleTest binaries use
// the shared libstdc++ and its own functions).
#include <cstdint>

namespace {

struct ExceptionGlobals {
  void* caught_exceptions;
  unsigned int uncaught_exceptions;
  void* spare[6];
};

__thread ExceptionGlobals t_exception_globals __attribute__((tls_model("initial-exec")));

}  // namespace

extern "C" {

__attribute__((visibility("hidden"))) void* __cxa_get_globals() noexcept {
  return &t_exception_globals;
}

__attribute__((visibility("hidden"))) void* __cxa_get_globals_fast() noexcept {
  return &t_exception_globals;
}

}  // extern "C"
