#include "digest.hpp"

#include <new>
#include <string>

#include "errors.hpp"

namespace quorvex {
namespace {

// Every libgcrypt failure goes through here, naming the call that failed.
// Running out of memory is reported as such, not as a fatal failure.
[[noreturn]] void fail_gcrypt(const char* call, gcry_error_t error) {
  if (gcry_err_code(error) == GPG_ERR_ENOMEM) throw std::bad_alloc();
  throw Panic(std::string("libgcrypt: ") + call + " failed: " + gcry_strerror(error));
}

void initialize_gcrypt() {
  if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
    throw Panic(std::string("libgcrypt is older than the headers (") + GCRYPT_VERSION + ")");
  }
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    // We hold no long-lived secrets in libgcrypt's handles, so the secure
    // memory pool (and its warnings about missing privileges) is not needed.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
}

}  // namespace

void ensure_gcrypt() {
  // A function-local static gives a thread-safe once-only initialization;
  // if it throws, the next call tries again.
  static const bool initialized = (initialize_gcrypt(), true);
  (void)initialized;
}

Digest::Digest(int algorithm)
    : algorithm_(algorithm), size_(gcry_md_get_algo_dlen(algorithm)) {
  ensure_gcrypt();
  if (gcry_error_t error = gcry_md_open(&handle_, algorithm, 0)) {
    fail_gcrypt("gcry_md_open", error);
  }
}

void Digest::finish(std::uint8_t* out) noexcept {
  // gcry_md_read returns null only for an algorithm the handle was not
  // opened with (or 0 on a handle with several): this handle was opened
  // with algorithm_ alone, and opening it is checked, so it cannot fail.
  const unsigned char* digest = gcry_md_read(handle_, algorithm_);
  __builtin_memcpy(out, digest, size_);
  // The digest has just passed through the vector registers (libgcrypt's
  // finalisation, the copy): none of it waits there for the next signal.
  wipe_vector_registers();
}

}  // namespace quorvex
