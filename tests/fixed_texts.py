"""An independent copy of the fixed texts that _quorvex_core shows its
callers: failure messages, the diagnostic, signatures and docstrings.

The module keeps its own in src/core/fixed_texts.hpp. Callers compare these
texts byte for byte, so they are written here once, by hand and not read
from the module, and every test that checks a text compares against this
copy. The argument-error messages (TypeError) are checked case by case in
test_arguments.py, each case written out in full.
"""

KEY_SIZE = "key_size must be 16, 32, or 64"
SEED_LENGTH = "Seed must be exactly 64 bytes"
PIXEL_LENGTH = "Pixel array size mismatch"
CAPACITY_OVERFLOW = "capacity overflow"
ZERO_DIVISOR = "attempt to calculate the remainder with a divisor of zero"
BLAKE3_DIMENSION = "image width and height must be below 2147483648 for the BLAKE3 walk"
POOL_NOT_INITIALIZED = "The global thread pool has not been initialized."
POOL_START_FAILED = POOL_NOT_INITIALIZED + ": failed to start a worker thread: "
POOL_ALREADY_INITIALIZED = (POOL_NOT_INITIALIZED
                            + ": The global thread pool has already been initialized.")
SUBINTERPRETER = "PyO3 modules do not yet support subinterpreters, see https://"
RESUMING_PANIC = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
                  "Python stack trace below:\n")


def unequal(message, left, right):
    """The three-line message of a failed equality check."""
    return f"assertion `left == right` failed: {message}\n  left: {left}\n right: {right}"


def out_of_bounds(length, index=""):
    """The message of a read past the end of the pixels; without an index,
    the part before it."""
    return f"index out of bounds: the len is {length} but the index is {index}"


def diagnostic(thread, path):
    """The start of the diagnostic written to standard error with a
    PanicException raised at a line of `path`."""
    return f"thread '{thread}' panicked at {path}:"


NAMES = [
    "generate_initial_seed",
    "execute_multilayer_sha3",
    "execute_multilayer_blake3",
    "derive_key_hkdf",
    "derive_key_blake3",
]

SIGNATURES = {
    "generate_initial_seed": "(image_hash, nonce, timestamp, version)",
    "execute_multilayer_sha3": "(initial_seed, pixels, width, height, steps, layers)",
    "execute_multilayer_blake3": "(initial_seed, pixels, width, height, steps, layers)",
    "derive_key_hkdf": "(entropy_pool, salt, info, key_size)",
    "derive_key_blake3": "(entropy_pool, context, key_size)",
}

DOCS = {
    "generate_initial_seed":
        "Generate the initial seed from image hash, nonce, timestamp, and version string.",
    "execute_multilayer_sha3":
        "SHA3 path \u2014 sequential walk matching v2/v1 exactly for 100% parity.",
    "execute_multilayer_blake3":
        "BLAKE3 path \u2014 parallel chunks with BLAKE3 chain + bounded window walk.\n"
        'v3/v2.0.2 fast path. Opt-in via chain_hash="blake3" parameter in Python.\n'
        "Not backward-compatible with v1/v2 key vectors \u2014 produces different keys.",
    "derive_key_hkdf":
        "Derive final key using HKDF-SHA256.\n"
        "entropy_pool \u2014 master pool from Stage 6 (64 bytes)\n"
        "salt         \u2014 nonce bytes (reused from seed generation for binding)\n"
        'info         \u2014 context label bytes e.g. b"quorvex-lintav-v2"\n'
        "key_size     \u2014 output length in bytes: 16, 32, or 64",
    "derive_key_blake3":
        "Derive final key using BLAKE3 in KDF mode.\n"
        "entropy_pool \u2014 master pool from Stage 6 (64 bytes)\n"
        'context      \u2014 context string for BLAKE3 key derivation e.g. "quorvex-lin-tav-v1.0"\n'
        "key_size     \u2014 output length in bytes: 16, 32, or 64",
}
