"""Allocation failures and key material left behind, watched through an
LD_PRELOAD probe (tests/probes/memory_probe.c) in a fresh interpreter that
allocates everything with malloc."""
import hashlib
import hmac
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import models
from conftest import run_python

pytestmark = pytest.mark.skipif(
    os.environ.get("HYPOTHESIS_PROFILE") == "sanitize",
    reason="AddressSanitizer owns malloc and free in that run")

PROBE_SOURCE = Path(__file__).parent / "probes" / "memory_probe.c"
FUNCTIONS = ["generate_initial_seed", "execute_multilayer_sha3", "execute_multilayer_blake3",
             "derive_key_hkdf", "derive_key_blake3"]


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the probe")
    library = tmp_path_factory.mktemp("probe") / "memory_probe.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(PROBE_SOURCE),
                    "-ldl"], check=True)
    return str(library)


def run_probed(probe, code, function, level=None, stdin=None):
    # Symbols bound at start-up: a lazily bound first call saves the vector
    # registers on the stack, which the residue scan does on purpose, once.
    return run_python(code, env={"LD_PRELOAD": probe, "PYTHONMALLOC": "malloc",
                                 "RAYON_NUM_THREADS": "2", "FUNCTION": function,
                                 "QUORVEX_SIMD_LEVEL": level, "LD_BIND_NOW": "1"},
                      timeout=300, check=False, stdin=stdin)


# The calls under test, the same in the probed interpreter and here, where
# the residue test computes what each one must not leave behind.
POOL, SALT, INFO, CONTEXT = bytes(range(64)), b"nonce-16-bytes!!", b"info", "ctx"
SEED = bytes(range(64, 128))
PIXELS = bytes(range(256)) * 3
ARGUMENTS = {
    "generate_initial_seed": (bytes(32), SALT, 1700000000, "v2"),
    "execute_multilayer_sha3": (SEED, PIXELS, 16, 16, 20, 2),
    "execute_multilayer_blake3": (SEED, PIXELS, 16, 16, 40, 2),
    "derive_key_hkdf": (POOL, SALT, INFO, 64),
    "derive_key_blake3": (POOL, CONTEXT, 64),
}
LEVELS = ["scalar", "avx2", "avx512"]

# The probe's functions, as the probed interpreter calls them.
PROBE = """
    import ctypes, functools, json, os, sys

    probe = ctypes.CDLL(None)
    def bind(name, result, *arguments):
        function = getattr(probe, name)
        function.restype, function.argtypes = result, list(arguments)
        return function
"""

CALLS = PROBE + f"""
    import _quorvex_core as q
    name = os.environ["FUNCTION"]
    function, arguments = getattr(q, name), {ARGUMENTS!r}[name]
    expected = function(*arguments)  # also starts the worker pool
"""

INJECT = CALLS + """
    fail_from = bind("probe_fail_from", None, ctypes.c_long, ctypes.c_int)
    # Failures start and stop with plain stores, which need no memory while
    # none can be had (a ctypes call builds an argument tuple and a result).
    armed = ctypes.c_int.in_dll(probe, "probe_armed")
    allocations = bind("probe_allocations", ctypes.c_long)

    fail_from(10**12, 0)
    armed.value = 1
    function(*arguments)
    armed.value = 0
    points = allocations()

    outcomes = {}
    for persistent in (0, 1):
        for point in range(1, points + 2):
            fail_from(point, persistent)
            try:
                armed.value = 1
                result = function(*arguments)
            except MemoryError:
                armed.value = 0
                outcome = "MemoryError"
            except BaseException as error:
                armed.value = 0
                outcome = f"{type(error).__name__}: {error}"
            else:
                armed.value = 0
                outcome = "same result" if result == expected else "wrong result"
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            # Nothing of a failed call stays behind to spoil the next one.
            if function(*arguments) != expected:
                outcomes["later call wrong"] = 1

    # A thread's first exception must not need memory either.
    import threading
    def first_call_of_a_thread():
        fail_from(1, 1)
        try:
            armed.value = 1
            function(*arguments)
        except BaseException as error:
            armed.value = 0
            outcome = f"{type(error).__name__}: {error}"
        else:
            armed.value = 0
            outcome = "same result"
        # A call that allocates nothing of its own fails at its result list.
        if outcome not in ("MemoryError: ", "PanicException: Python API call failed"):
            outcomes["fresh thread: " + outcome] = 1
    thread = threading.Thread(target=first_call_of_a_thread)
    thread.start()
    thread.join()
    print(json.dumps({"points": points, "outcomes": outcomes}))
"""


@pytest.mark.parametrize("function", FUNCTIONS)
def test_every_allocation_failure_is_a_memory_error(probe, function):
    result = run_probed(probe, INJECT, function)
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout)
    outcomes = report["outcomes"]
    assert report["points"] > 0
    assert "MemoryError" in outcomes, report
    # The result list is built by the interpreter; when it cannot be, the
    # call is a fatal failure with this text.
    allowed = {"MemoryError", "same result", "PanicException: Python API call failed"}
    assert set(outcomes) <= allowed, report


SCAN_FOR_RESIDUE = """
    # The secrets come through a pipe, read by the probe itself: only the
    # call under test may put their bytes anywhere in this process (the
    # environment's strings, for one, lie at the top of the main thread's
    # stack, and a parser here may keep them in a stack buffer).
    read_needles = bind("probe_read_needles", ctypes.c_int, ctypes.c_int)
    watch = bind("probe_watch", None, ctypes.c_int)
    clear = bind("probe_clear_dead_stack", None)
    scan = bind("probe_scan_stacks", ctypes.c_long)
    hits = bind("probe_hits", ctypes.c_long)
    first_hit = bind("probe_first_hit", ctypes.c_char_p)
    needle_count = read_needles(sys.stdin.fileno())

    import gc
    gc.collect()
    gc.disable()
    # The call runs 64 KiB further down the stack than the scan after it,
    # whose frames (ctypes' included) would otherwise run over its leftovers.
    call_below = bind("probe_call_below", None, ctypes.c_size_t, ctypes.CFUNCTYPE(None))
    results = []
    call = ctypes.CFUNCTYPE(None)(lambda: results.append(function(*arguments)))

    # Freed blocks first: searching them runs inside free(), over the stack
    # of the call, so the stacks are searched after a second, unwatched call.
    watch(1)
    call_below(64 * 1024, call)
    watch(0)
    freed = hits()
    clear()
    call_below(64 * 1024, call)
    scan()  # nothing else may run over the dead stack first
    print(json.dumps({"needles": needle_count, "same results": results == [expected] * 2,
                      "freed": freed, "all": hits(), "first": first_hit().decode()}))
"""


def secrets_of(name):
    """Every secret the call computes on the way to its result, and the
    result: from the models, in this process, never in the probed one."""
    arguments = ARGUMENTS[name]
    if name == "generate_initial_seed":
        return [models.initial_seed(*arguments)]
    if name == "execute_multilayer_sha3":
        trace = []
        return trace + [models.sha3_walk(*arguments, trace=trace)]
    if name == "execute_multilayer_blake3":
        trace = []
        return trace + [models.blake3_walk(*arguments, threads=2, trace=trace)]
    if name == "derive_key_blake3":
        return final_key_secrets(POOL, "blake3", CONTEXT, 64)
    return final_key_secrets(POOL, "hkdf", INFO, 64, salt=SALT)


def final_key_secrets(pool, kdf, label, key_size, salt=b""):
    """The expanded pool, the HMAC states of HKDF-SHA256 on the way, and the key."""
    expanded = models.expand_pool(pool)
    if kdf == "blake3":
        return [expanded, models.derive_key_blake3(pool, label, key_size)]

    def inner(key, message):  # the inner hash of HMAC-SHA256
        return hashlib.sha256(bytes(b ^ 0x36 for b in key.ljust(64, b"\0")) + message).digest()
    prk = hmac.new(salt, expanded, hashlib.sha256).digest()
    t1 = hmac.new(prk, label + b"\1", hashlib.sha256).digest()
    return [expanded, prk, inner(salt, expanded), inner(prk, label + b"\1"),
            inner(prk, t1 + label + b"\2"), models.derive_key_hkdf(pool, salt, label, key_size)]


def needles_of(secrets):
    return b"".join(secret[i:i + 8] for secret in secrets for i in range(0, len(secret) - 7, 8))


def scan_report(probe, script, function, secrets, level=None):
    needles = needles_of(secrets)
    result = run_probed(probe, script, function, level=level, stdin=needles.hex())
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout)
    assert report["needles"] == len(needles) // 8
    assert report["same results"], report
    return report


# The whole stack mapping of the calling thread and every worker's stack,
# on every level: a secret that a library's finalisation leaves far below
# the frame the call returned to is still a secret left behind.
@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("function", FUNCTIONS)
def test_no_key_material_is_left_behind(probe, function, level):
    report = scan_report(probe, CALLS + SCAN_FOR_RESIDUE, function, secrets_of(function), level)
    assert report["all"] == 0, f"{report['all']} copies, the first: {report['first']}"


# The package derives a key in one native call: the seed, the walk's states,
# the entropy pool and the final key's intermediates never become Python
# objects, so none of them is left in freed memory or on a stack either.
# (The key itself is the caller's, and the pixels are the caller's input.)
ROADS = ["sha3+hkdf", "sha3+blake3", "blake3+hkdf", "blake3+blake3"]
ROAD_IMAGE = (PIXELS, 16, 16)
ROAD_OPTIONS = {"nonce": SALT, "timestamp": 1700000000, "steps": 30, "layers": 2}

PACKAGE_CALLS = PROBE + f"""
    import quorvex
    walk, kdf = os.environ["FUNCTION"].split("+")
    function = functools.partial(quorvex.derive_key, walk=walk, kdf=kdf, threads=2,
                                 **{ROAD_OPTIONS!r})
    arguments = (quorvex.RgbImage(*{ROAD_IMAGE!r}),)
    expected = function(*arguments)  # also starts the worker pool
"""


def road_secrets(road):
    import quorvex

    walk, kdf = road.split("+")
    d = quorvex.derive(quorvex.RgbImage(*ROAD_IMAGE), walk=walk, kdf=kdf, threads=2,
                       **ROAD_OPTIONS)
    seed = models.initial_seed(d.image_hash, d.nonce, d.timestamp, d.version)
    trace = []
    if walk == "sha3":
        pool = models.sha3_walk(seed, *ROAD_IMAGE, d.steps, d.layers, trace=trace)
    else:
        pool = models.blake3_walk(seed, *ROAD_IMAGE, d.steps, d.layers, 2, trace=trace)
    label = d.info if kdf == "hkdf" else d.context
    finals = final_key_secrets(pool, kdf, label, d.key_size, salt=d.nonce)
    assert finals[-1] == d.key
    return [seed, *trace, pool, *finals[:-1]]


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("road", ROADS)
def test_the_package_leaves_no_seed_or_pool_behind(probe, road, level):
    report = scan_report(probe, PACKAGE_CALLS + SCAN_FOR_RESIDUE, road, road_secrets(road),
                         level)
    assert report["all"] == 0, f"{report['all']} copies, the first: {report['first']}"


# libgcrypt's initialisation allocates, and ends the process when that
# fails: the import does it, so that no call ever runs it. The module's
# shared object is first loaded without being initialised, which brings in
# its libgcrypt (the wheel's bundled copy or the system's) untouched; the
# check then asks that very copy, found among the process's mappings.
GCRYPT_AT_IMPORT = """
    import ctypes, importlib.util, json, os
    GCRYCTL_INITIALIZATION_FINISHED_P = 39

    ctypes.CDLL(importlib.util.find_spec("_quorvex_core").origin, mode=os.RTLD_LAZY)
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "libgcrypt" in line.split()[-1]}
    assert len(paths) == 1, paths
    gcrypt = ctypes.CDLL(paths.pop())
    gcrypt.gcry_control.restype = ctypes.c_uint
    finished = lambda: bool(gcrypt.gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P))

    before = finished()
    import _quorvex_core
    print(json.dumps({"before": before, "after": finished()}))
"""


def test_the_import_initialises_libgcrypt():
    result = run_python(GCRYPT_AT_IMPORT)
    assert json.loads(result.stdout) == {"before": False, "after": True}
