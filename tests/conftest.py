import contextlib
import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

import _quorvex_core

settings.register_profile(
    "default", max_examples=200, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.register_profile(
    "sanitize", max_examples=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

_expected_dir = os.environ.get("QUORVEX_EXPECT_MODULE_DIR")
if _expected_dir:
    # The sanitizer run must test the sanitizer build, not the installed one.
    assert os.path.dirname(_quorvex_core.__file__) == os.path.abspath(_expected_dir)


def pytest_report_header(config):
    return f"_quorvex_core: {_quorvex_core.__file__}"


@pytest.fixture
def q():
    return _quorvex_core


def scaled_timeout(seconds):
    """A time limit for a plain build, scaled to the build under test:
    scripts/sanitize sets QUORVEX_TIMEOUT_SCALE (its build runs several
    times slower)."""
    return seconds * float(os.environ.get("QUORVEX_TIMEOUT_SCALE", "1"))


def run_python(code, env=None, timeout=120, check=True, stdin=None):
    """Runs code in a fresh interpreter (same one as the tests) and returns
    the completed process; a hang becomes a test failure, not a stuck run.
    `env` adds to this process's environment; a value of None unsets.
    `timeout` is for a plain build (see scaled_timeout)."""
    full_env = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], input=stdin,
        capture_output=True, text=True, errors="backslashreplace",
        timeout=scaled_timeout(timeout), env=full_env)
    if check and result.returncode != 0:
        raise AssertionError(
            f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result


def scaled(examples):
    """Example count for the heavier property tests, smaller under sanitizers."""
    return max(10, examples // 20) if os.environ.get("HYPOTHESIS_PROFILE") == "sanitize" else examples


@contextlib.contextmanager
def raises_panic(message=None, *, prefix=None):
    """The block must raise PanicException whose only argument is `message`
    (or, with `prefix`, starts with it). Yields pytest's ExceptionInfo."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert len(info.value.args) == 1, info.value.args
    if message is not None:
        assert info.value.args[0] == message
    if prefix is not None:
        assert info.value.args[0].startswith(prefix), info.value.args[0]


def outcome(call, *args):
    """('ok', result bytes) or ('panic', message), for comparing the module
    with a model that raises ModelPanic."""
    import models
    try:
        return "ok", bytes(call(*args))
    except models.ModelPanic as error:
        return "panic", str(error)
    except BaseException as error:  # noqa: BLE001 - PanicException
        if type(error).__name__ != "PanicException":
            raise
        return "panic", error.args[0]


BLAKE3_WALKS = """
import json, sys, _quorvex_core as q
out = []
for seed, pixels, width, height, steps, layers in json.loads(sys.stdin.read()):
    try:
        out.append(["ok", bytes(q.execute_multilayer_blake3(
            bytes.fromhex(seed), bytes.fromhex(pixels), width, height, steps, layers)).hex()])
    except BaseException as error:
        out.append(["panic", str(error)])
print(json.dumps(out))
"""


def blake3_walks_in_process(threads, cases):
    """outcome() of execute_multilayer_blake3 for each case (seed, pixels,
    width, height, steps, layers), in a fresh process whose pool has
    `threads` threads."""
    encoded = json.dumps([(s.hex(), p.hex(), w, h, st, l) for s, p, w, h, st, l in cases])
    result = run_python(BLAKE3_WALKS, env={"RAYON_NUM_THREADS": str(threads)}, timeout=300,
                        stdin=encoded)
    return [(kind, bytes.fromhex(value) if kind == "ok" else value)
            for kind, value in json.loads(result.stdout)]


# Prelude of a script that checks a long call is ended by a signal handler:
# interrupted(call) is True if a SIGALRM handler's exception ended it promptly.
INTERRUPT_PRELUDE = """
import signal, time, _quorvex_core as q

class Stop(Exception):
    pass

def handler(signum, frame):
    raise Stop("from handler")

signal.signal(signal.SIGALRM, handler)

def interrupted(call):
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        call()
    except Stop:
        return time.monotonic() - start < 5
    return False
"""
