// Readies the hashing libraries once per process, at import: libgcrypt's
// initialisation (which allocates, and aborts the process if that fails)
// and BLAKE3's CPU detection then never run inside a call.
// Safe to call from any thread, any number of times.
#pragma once

namespace quorvex {

void prepare_hash_libraries();

}  // namespace quorvex
