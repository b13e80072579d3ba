// Every fixed text that callers of _quorvex_core can see: the messages of its
// failures, the parts of its argument errors, its diagnostics and its
// docstrings. They are exact. Callers compare them byte for byte and earlier
// versions of the module produced the same bytes, so changing one changes
// behaviour. The tests check every one a caller can provoke against an
// independent copy: tests/fixed_texts.py, and the argument errors case by
// case in tests/test_arguments.py. (A few stand for failures no test can
// cause, such as the interpreter running out of memory mid-call; they live
// here too so that every text has one home.) Where a message has values in
// it, the comment above its pieces shows the whole template.
//
// Plain character arrays, so that both the core and the binding (which
// hands some of them to the interpreter as C strings) can use them.
#pragma once

namespace quorvex::texts {

// ---------------------------------------------------------------------------
// Fatal failures, raised as PanicException
// ---------------------------------------------------------------------------

inline constexpr char kKeySize[] = "key_size must be 16, 32, or 64";

// "assertion `left == right` failed: {message}\n  left: {found}\n right: {required}"
inline constexpr char kUnequalBefore[] = "assertion `left == right` failed: ";
inline constexpr char kUnequalLeft[] = "\n  left: ";
inline constexpr char kUnequalRight[] = "\n right: ";
// The {message} of the SHA3 walk's two equality checks.
inline constexpr char kSeedLength[] = "Seed must be exactly 64 bytes";
inline constexpr char kPixelLength[] = "Pixel array size mismatch";

inline constexpr char kCapacityOverflow[] = "capacity overflow";
inline constexpr char kZeroDivisor[] = "attempt to calculate the remainder with a divisor of zero";

// "index out of bounds: the len is {length} but the index is {index}"
inline constexpr char kOutOfBoundsBefore[] = "index out of bounds: the len is ";
inline constexpr char kOutOfBoundsBetween[] = " but the index is ";

inline constexpr char kBlake3Dimension[] =
    "image width and height must be below 2147483648 for the BLAKE3 walk";

// "{kPoolNotInitialized}{kPoolStartFailed}{strerror}" when a worker thread
// cannot start; "{kPoolNotInitialized}{kPoolAlreadyInitialized}" on every
// later call of the process.
inline constexpr char kPoolNotInitialized[] = "The global thread pool has not been initialized.";
inline constexpr char kPoolStartFailed[] = ": failed to start a worker thread: ";
inline constexpr char kPoolAlreadyInitialized[] =
    ": The global thread pool has already been initialized.";

inline constexpr char kPythonApiFailed[] = "Python API call failed";
inline constexpr char kAppendToAllFailed[] = "could not append __name__ to __all__";

// ---------------------------------------------------------------------------
// Other exceptions
// ---------------------------------------------------------------------------

// ValueError of HKDF-Expand asked for more than 255 blocks.
inline constexpr char kHkdfTooLong[] =
    "HKDF expand failed: invalid number of blocks, too large output";

// ImportError in any interpreter but the one that owns the module.
inline constexpr char kSubinterpreter[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

// SystemError when the interpreter reports a failure without an exception.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";

// ---------------------------------------------------------------------------
// Argument errors (TypeError)
// ---------------------------------------------------------------------------

// "{function}() takes {count} positional arguments but {given} were given"
inline constexpr char kTakesBefore[] = "() takes ";
inline constexpr char kTakesBetween[] = " positional arguments but ";
inline constexpr char kTakesAfter[] = " were given";

// "{function}() got an unexpected keyword argument '{keyword}'"
inline constexpr char kUnexpectedKeyword[] = "() got an unexpected keyword argument '";
// "{function}() got multiple values for argument '{keyword}'"
inline constexpr char kMultipleValues[] = "() got multiple values for argument '";

// "{function}() missing {count} required positional argument: {names}", with
// "arguments" for a count other than 1; names quoted with ', joined by " and "
// (two) or by ", " and ", and " (three or more).
inline constexpr char kMissingBefore[] = "() missing ";
inline constexpr char kMissingOne[] = " required positional argument: ";
inline constexpr char kMissingMany[] = " required positional arguments: ";

// "argument '{parameter}': {message}"
inline constexpr char kArgumentBefore[] = "argument '";
inline constexpr char kArgumentAfter[] = "': ";

// "'{type}' object cannot be converted to '{target}'"
inline constexpr char kCannotConvert[] = "' object cannot be converted to '";
inline constexpr char kBytesTarget[] = "PyBytes";
inline constexpr char kStringTarget[] = "PyString";
inline constexpr char kListTarget[] = "PyList";
// {type} when the type's __qualname__ cannot be read.
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
// {message} when str() of the conversion's TypeError fails.
inline constexpr char kUnprintableTypeError[] = "<unprintable TypeError object>";

// ---------------------------------------------------------------------------
// PanicException and its diagnostics on standard error
// ---------------------------------------------------------------------------

inline constexpr char kPanicTypeName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "The exception raised when the native code of _quorvex_core fails fatally "
    "while called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it "
    "will typically propagate all the way through the stack and cause the "
    "Python interpreter to exit.";

// "thread '{thread}' panicked at {path}:{line}:{column}:\n{message}\n"
inline constexpr char kDiagnosticBefore[] = "thread '";
inline constexpr char kDiagnosticAfterThread[] = "' panicked at ";
inline constexpr char kMainThreadName[] = "main";
inline constexpr char kOtherThreadName[] = "<unnamed>";

// Written before the interpreter prints a PanicException that came back
// from Python, which is then raised again as a new one.
inline constexpr char kResumingPanic[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
// The message of that new one when str() of the old one fails.
inline constexpr char kUnprintablePanic[] = "<unprintable PanicException object>";

// ---------------------------------------------------------------------------
// Docstrings: the text signature, "--", an empty line, then the text that
// becomes __doc__. "—" is U+2014, in UTF-8.
// ---------------------------------------------------------------------------

inline constexpr char kSeedDoc[] =
    "generate_initial_seed(image_hash, nonce, timestamp, version)\n--\n\n"
    "Generate the initial seed from image hash, nonce, timestamp, and version string.";

inline constexpr char kSha3WalkDoc[] =
    "execute_multilayer_sha3(initial_seed, pixels, width, height, steps, layers)\n--\n\n"
    "SHA3 path — sequential walk matching v2/v1 exactly for 100% parity.";

inline constexpr char kBlake3WalkDoc[] =
    "execute_multilayer_blake3(initial_seed, pixels, width, height, steps, layers)\n--\n\n"
    "BLAKE3 path — parallel chunks with BLAKE3 chain + bounded window walk.\n"
    "v3/v2.0.2 fast path. Opt-in via chain_hash=\"blake3\" parameter in Python.\n"
    "Not backward-compatible with v1/v2 key vectors — produces different keys.";

inline constexpr char kHkdfDoc[] =
    "derive_key_hkdf(entropy_pool, salt, info, key_size)\n--\n\n"
    "Derive final key using HKDF-SHA256.\n"
    "entropy_pool — master pool from Stage 6 (64 bytes)\n"
    "salt         — nonce bytes (reused from seed generation for binding)\n"
    "info         — context label bytes e.g. b\"quorvex-lintav-v2\"\n"
    "key_size     — output length in bytes: 16, 32, or 64";

inline constexpr char kBlake3KeyDoc[] =
    "derive_key_blake3(entropy_pool, context, key_size)\n--\n\n"
    "Derive final key using BLAKE3 in KDF mode.\n"
    "entropy_pool — master pool from Stage 6 (64 bytes)\n"
    "context      — context string for BLAKE3 key derivation e.g. \"quorvex-lin-tav-v1.0\"\n"
    "key_size     — output length in bytes: 16, 32, or 64";

}  // namespace quorvex::texts
