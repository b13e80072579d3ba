"""Allocation failures and key material left behind, watched through an
LD_PRELOAD probe (tests/probes/memory_probe.c) in a fresh interpreter that
allocates everything with malloc."""
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

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


def run_probed(probe, code, function):
    return run_python(code, env={"LD_PRELOAD": probe, "PYTHONMALLOC": "malloc",
                                 "RAYON_NUM_THREADS": "2", "FUNCTION": function,
                                 "PYTHONPATH": str(Path(__file__).parent) + os.pathsep
                                 + os.environ.get("PYTHONPATH", "")},
                      timeout=300, check=False)


CALLS = """
    import ctypes, hashlib, hmac, json, os, sys, _quorvex_core as q
    import blake3, models

    probe = ctypes.CDLL(None)
    def bind(name, result, *arguments):
        function = getattr(probe, name)
        function.restype, function.argtypes = result, list(arguments)
        return function

    POOL, SALT, INFO, CONTEXT = bytes(range(64)), b"nonce-16-bytes!!", b"info", "ctx"
    SEED = bytes(range(64, 128))
    PIXELS = bytes(range(256)) * 3
    CALLS = {
        "generate_initial_seed": (q.generate_initial_seed, (bytes(32), SALT, 1700000000, "v2")),
        "execute_multilayer_sha3": (q.execute_multilayer_sha3, (SEED, PIXELS, 16, 16, 20, 2)),
        "execute_multilayer_blake3": (q.execute_multilayer_blake3, (SEED, PIXELS, 16, 16, 40, 2)),
        "derive_key_hkdf": (q.derive_key_hkdf, (POOL, SALT, INFO, 64)),
        "derive_key_blake3": (q.derive_key_blake3, (POOL, CONTEXT, 64)),
    }
    function, arguments = CALLS[os.environ["FUNCTION"]]
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


RESIDUE = CALLS + """
    def secrets():
        name = os.environ["FUNCTION"]
        if name == "generate_initial_seed":
            return [bytes(expected)]
        if name == "execute_multilayer_sha3":
            trace = []
            models.sha3_walk(*arguments, trace=trace)
            return trace + [bytes(expected)]
        if name == "execute_multilayer_blake3":
            trace = []
            models.blake3_walk(*arguments, threads=2, trace=trace)
            return trace + [bytes(expected)]
        expanded = models.expand_pool(POOL)
        if name == "derive_key_blake3":
            return [expanded, bytes(expected)]
        def inner(key, message):  # the inner hash of HMAC-SHA256
            return hashlib.sha256(bytes(b ^ 0x36 for b in key.ljust(64, b"\\0"))
                                  + message).digest()
        prk = hmac.new(SALT, expanded, hashlib.sha256).digest()
        t1 = hmac.new(prk, INFO + b"\\1", hashlib.sha256).digest()
        return [expanded, prk, inner(SALT, expanded), inner(prk, INFO + b"\\1"),
                inner(prk, t1 + INFO + b"\\2"), bytes(expected)]

    needles = b"".join(secret[i:i + 8] for secret in secrets()
                       for i in range(0, len(secret) - 7, 8))
    set_needles = bind("probe_set_needles", None, ctypes.c_char_p, ctypes.c_int)
    watch = bind("probe_watch", None, ctypes.c_int)
    clear = bind("probe_clear_dead_stack", None)
    scan = bind("probe_scan_stacks", ctypes.c_long)
    hits = bind("probe_hits", ctypes.c_long)
    first_hit = bind("probe_first_hit", ctypes.c_char_p)
    set_needles(needles, len(needles) // 8)

    # What the models above computed is not the module's doing: nothing of
    # it may be freed (by a collection) or lie on the dead stack while we watch.
    import gc
    gc.collect()
    gc.disable()
    clear()
    watch(1)
    function(*arguments)
    watch(0)
    freed = hits()
    scan()
    print(json.dumps({"needles": len(needles) // 8, "freed": freed, "all": hits(),
                      "first": first_hit().decode()}))
"""


@pytest.mark.parametrize("function", FUNCTIONS)
def test_no_key_material_is_left_behind(probe, function):
    result = run_probed(probe, RESIDUE, function)
    assert result.returncode == 0, result.stderr[-2000:]
    report = json.loads(result.stdout)
    assert report["needles"] > 0
    assert report["all"] == 0, report
