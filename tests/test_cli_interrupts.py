"""Ctrl-C and the command line, window by window: start-up, a finalizer,
a walk, the exit, twice in a row. Each run is a subprocess with a time
limit; where a race decides, many runs with random delays."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import quorvex
from quorvex import cli as command_line
from test_cli import environment
from test_host import SANITIZED

INTERRUPTED = b"quorvex: error: interrupted\n"
# Our handler is in place once the process catches SIGALRM (the interpreter
# itself catches SIGINT only).
_SIGALRM_BIT = 1 << (signal.SIGALRM - 1)
LONG_WALK = ["key", "--sample", "--steps", "4000000000", "--nonce", "01", "--timestamp", "1"]
SHORT_KEY = ["key", "--sample", "--steps", "1", "--nonce", "01", "--timestamp", "1"]


def entry(*args, code=None):
    """Popen of the console script's entry module (or of `code` run in its
    place), with pipes."""
    command = [sys.executable, "-c", textwrap.dedent(code)] if code else \
        [sys.executable, "-m", "_quorvex_cli"]
    return subprocess.Popen([*command, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environment())


def wait_for_handler(process, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                caught = next(line for line in status if line.startswith("SigCgt:"))
        except (FileNotFoundError, ProcessLookupError):
            raise AssertionError("the process ended before taking charge of Ctrl-C") from None
        if int(caught.split()[1], 16) & _SIGALRM_BIT:
            return
        time.sleep(0.002)
    raise AssertionError("no SIGINT handler within the time limit")


def finish(process, timeout=30):
    """(status, stdout, stderr) of a process that must end within `timeout`."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError("still running: the Ctrl-C was lost") from None
    return process.returncode, out, err


def many(runs, scenario):
    """Runs `scenario(random.Random)` `runs` times (fewer in the much slower
    sanitizer build), two at a time."""
    runs = max(2, runs // 4) if SANITIZED else runs
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda seed: scenario(random.Random(seed)), range(runs)))


def test_ctrl_c_during_start_up_is_one_line_and_130():
    def scenario(rng):
        process = entry(*LONG_WALK)
        wait_for_handler(process)
        time.sleep(rng.uniform(0, 0.3))  # the imports, the parser, the walk's start
        process.send_signal(signal.SIGINT)
        assert finish(process) == (130, b"", INTERRUPTED)

    many(12, scenario)


def test_ctrl_c_twice_in_a_row_is_one_line_and_130():
    def scenario(rng):
        process = entry(*LONG_WALK)
        wait_for_handler(process)
        time.sleep(rng.uniform(0, 0.3))
        process.send_signal(signal.SIGINT)
        time.sleep(rng.uniform(0, 0.15))
        process.send_signal(signal.SIGINT)
        assert finish(process) == (130, b"", INTERRUPTED)

    many(12, scenario)


def test_ctrl_c_around_the_end_of_a_run_never_kills_it():
    key = quorvex.derive_key(quorvex.sample_image(), nonce=b"\x01", timestamp=1, steps=1)
    start = time.monotonic()
    assert finish(entry(*SHORT_KEY))[0] == 0
    duration = time.monotonic() - start

    def scenario(rng):
        process = entry(*SHORT_KEY)
        wait_for_handler(process)
        time.sleep(rng.uniform(0, duration))
        process.send_signal(signal.SIGINT)
        status, out, err = finish(process)
        # Either done, or stopped with its line: never a signal death nor
        # a traceback.
        assert (status, out, err) in [(0, key.hex().encode() + b"\n", b""),
                                      (130, b"", INTERRUPTED),
                                      (130, key.hex().encode() + b"\n", INTERRUPTED)]

    many(16, scenario)


# Code run in place of the console script: the entry module with one of
# its steps patched to send Ctrl-C to itself at a chosen moment.
PATCHED_ENTRY = """
import os, signal, sys
import _quorvex_cli

def ctrl_c():
    os.kill(os.getpid(), signal.SIGINT)

{patch}
sys.argv[1:] = {argv!r}
_quorvex_cli.main()
"""


def start_patched(patch, argv):
    return entry(code=PATCHED_ENTRY.format(patch=textwrap.dedent(patch), argv=list(argv)))


def run_patched(patch, argv, timeout=30):
    return finish(start_patched(patch, argv), timeout)


@pytest.mark.parametrize("signals", [1, 2])
def test_ctrl_c_while_leaving_after_success_keeps_the_status(signals):
    key = quorvex.derive_key(quorvex.sample_image(), nonce=b"\x01", timestamp=1, steps=1)
    patch = f"""
    flush = _quorvex_cli._flush_standard_streams
    def flushing():
        for _ in range({signals}):
            ctrl_c()
        flush()
    _quorvex_cli._flush_standard_streams = flushing
    """
    assert run_patched(patch, SHORT_KEY) == (0, key.hex().encode() + b"\n", b"")


def test_a_second_ctrl_c_while_reporting_the_first_is_ignored():
    patch = """
    write = _quorvex_cli._write_stderr
    def writing(text):
        ctrl_c()
        write(text)
    _quorvex_cli._write_stderr = writing
    """
    process = start_patched(patch, LONG_WALK)
    wait_for_handler(process)
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    assert finish(process) == (130, b"", INTERRUPTED)


@pytest.mark.parametrize("where", ["finalizer", "weakref callback"])
def test_ctrl_c_dropped_in_a_finalizer_still_stops_the_walk(where):
    # The Ctrl-C arrives while a finalizer (or a weakref callback) runs
    # Python code; the interpreter drops its KeyboardInterrupt there, and
    # the walk that follows would run to its end (hours) if nothing raised
    # it again.
    patch = f"""
    import gc, time, weakref
    import quorvex._host as host

    def interrupted_here():
        ctrl_c()
        deadline = time.monotonic() + 5
        while not _quorvex_cli.interrupts.received and time.monotonic() < deadline:
            pass  # the handler runs here, and raises in here

    class Cycle:
        def __del__(self):
            if {where == "finalizer"!r}:
                interrupted_here()

    hash_image = host.image_hash
    watching = []
    def hashing(rgb):
        garbage = Cycle()
        garbage.self = garbage
        if {where == "weakref callback"!r}:
            watching.append(weakref.ref(garbage, lambda _: interrupted_here()))
        del garbage
        gc.collect()
        assert _quorvex_cli.interrupts.received
        return hash_image(rgb)
    host.image_hash = hashing
    """
    assert run_patched(patch, LONG_WALK) == (130, b"", INTERRUPTED)


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("command", ["key", "check"])
def test_ctrl_c_during_walks_stops_everything(tmp_path, jobs, command):
    images = []
    for index in range(3):
        images.append(str(tmp_path / f"{index}.ppm"))
        with open(images[-1], "wb") as file:
            file.write(b"P6 2 2 255\n" + bytes([index] * 12))
    options = ["--steps", "4000000000", "--nonce", "01", "--timestamp", "1", "-j", jobs]
    if command == "key":
        process = entry("key", *images, *options)
    else:
        records = tmp_path / "records.jsonl"
        lines = []
        for image in images:
            derivation = quorvex.derive(image, nonce=b"\x01", timestamp=1, steps=1)
            record = {"image": image, **derivation.to_json()}
            record["inputs"]["steps"] = 4000000000
            lines.append(__import__("json").dumps(record))
        records.write_text("\n".join(lines) + "\n")
        process = entry("check", str(records), "-j", jobs)
    wait_for_handler(process)
    time.sleep(0.8)  # the walks are under way
    process.send_signal(signal.SIGINT)
    assert finish(process) == (130, b"", INTERRUPTED)


def test_ctrl_c_without_the_entry_module_is_still_one_line():
    # python -m quorvex: the package is imported first, then the same
    # handling takes over.
    process = subprocess.Popen([sys.executable, "-m", "quorvex", *LONG_WALK],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment())
    wait_for_handler(process)
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    assert finish(process) == (130, b"", INTERRUPTED)


def test_the_entry_module_imports_nothing_of_quorvex_before_its_handler():
    code = """
    import sys
    before = set(sys.modules)
    import _quorvex_cli
    print(" ".join(sorted(set(sys.modules) - before)))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=60, env=environment())
    imported = result.stdout.split()
    assert "signal" in imported or "signal" in sys.builtin_module_names, result.stderr
    assert not [name for name in imported if name.startswith(("quorvex", "PIL", "_quorvex_core",
                                                              "argparse", "json", "threading"))]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_ctrl_c_while_a_job_waits_on_standard_input_stops_everything(tmp_path, jobs):
    # The job that reads standard input blocks (nobody writes); with two
    # jobs the main thread waits for it, with one it is the one blocked.
    # Either way the command leaves at once, without waiting for the job.
    image = tmp_path / "a.ppm"
    image.write_bytes(b"P6 2 2 255\n" + bytes(12))
    process = subprocess.Popen([sys.executable, "-m", "_quorvex_cli", "key", str(image), "-",
                                "--nonce", "01", "--timestamp", "1", "-j", jobs],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment())
    try:
        wait_for_handler(process)
        first = process.stdout.readline()  # the first key is out: the second job waits
        assert first.endswith(f"  {image}\n".encode())
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 130
        assert process.stderr.read() == INTERRUPTED
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
