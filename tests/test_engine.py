"""quorvex._engine against _quorvex_core and the models: the same bytes for
every function, every dispatch level and any chunk count; no interpreter
lock held; Ctrl-C still stops a long call; concurrent calls stay exact."""
import hashlib
import json
import os
import pathlib
import random
import threading

import pytest

import models
from conftest import run_python, scaled
from quorvex import _engine as engine

VECTORS = json.loads((pathlib.Path(__file__).resolve().parent / "vectors" / "vectors.json")
                     .read_text())
LEVELS = ["scalar", "avx2", "avx512"]
COUNTS = [1, 2, 3, 9, 16, 65535]
SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitize"


def walk_args(v):
    return (bytes.fromhex(v["initial_seed"]), bytes.fromhex(v["pixels"]),
            v["width"], v["height"], v["steps"], v["layers"])


def outcome(call, *args):
    """('ok', bytes) or ('panic', message): the engine raises a broken
    precondition of the core as RuntimeError with the module's message."""
    try:
        return "ok", bytes(call(*args))
    except RuntimeError as error:
        return "panic", str(error)


def expected(v):
    return ("panic", v["panic"]) if "panic" in v else ("ok", bytes.fromhex(v["result"]))


# --- known answers ----------------------------------------------------------

def test_seed_and_final_key_vectors():
    for v in VECTORS["generate_initial_seed"]:
        seed = engine.generate_initial_seed(bytes.fromhex(v["image_hash"]),
                                            bytes.fromhex(v["nonce"]), v["timestamp"],
                                            v["version"])
        assert seed.hex() == v["seed"], v
    for v in VECTORS["derive_key_hkdf"]:
        key = engine.derive_key_hkdf(bytes.fromhex(v["entropy_pool"]), bytes.fromhex(v["salt"]),
                                     bytes.fromhex(v["info"]), v["key_size"])
        assert key.hex() == v["key"], v
    for v in VECTORS["derive_key_blake3"]:
        key = engine.derive_key_blake3(bytes.fromhex(v["entropy_pool"]), v["context"],
                                       v["key_size"])
        assert key.hex() == v["key"], v


def test_sha3_walk_vectors():
    for v in VECTORS["execute_multilayer_sha3"]:
        assert outcome(engine.sha3_walk, *walk_args(v)) == expected(v), v


def test_blake3_walk_vectors_with_every_recorded_count_in_one_process():
    for v in VECTORS["execute_multilayer_blake3"]:
        for threads, result in v["by_thread_count"].items():
            assert outcome(engine.blake3_walk, *walk_args(v), int(threads)) == expected(result), \
                (v, threads)


# --- against the module, at every level ----------------------------------------

# Runs in a process whose module pool has `threads` threads, at one dispatch
# level: the module and the engine on the same random cases, and the image
# hash against hashlib around every block boundary. Prints the mismatches.
AGAINST_THE_MODULE = """
import hashlib, json, random, sys, _quorvex_core as q
from quorvex import _engine as e
threads, cases = json.loads(sys.stdin.read())
rng = random.Random(threads)
bad = []
for width, height, steps, layers, seed_size in cases:
    seed = rng.randbytes(seed_size)
    pixels = rng.randbytes(width * height * 3)
    args = (seed, pixels, width, height, steps, layers)
    if bytes(q.execute_multilayer_blake3(*args)) != e.blake3_walk(*args, threads):
        bad.append(["blake3", width, height, steps, layers])
    if threads == 1:
        seed = bytes(q.generate_initial_seed(rng.randbytes(32), rng.randbytes(16), steps, "v"))
        if e.generate_initial_seed(hashlib.sha3_256(pixels).digest(), seed[:16], steps, "v") != \\
                bytes(q.generate_initial_seed(hashlib.sha3_256(pixels).digest(), seed[:16], steps, "v")):
            bad.append(["seed"])
        if bytes(q.execute_multilayer_sha3(seed, pixels, width, height, steps, layers)) != \\
                e.sha3_walk(seed, pixels, width, height, steps, layers):
            bad.append(["sha3", width, height, steps, layers])
        for size in (16, 32, 64):
            if bytes(q.derive_key_hkdf(seed, pixels[:7], pixels[7:20], size)) != \\
                    e.derive_key_hkdf(seed, pixels[:7], pixels[7:20], size):
                bad.append(["hkdf", size])
            if bytes(q.derive_key_blake3(seed, "ctx", size)) != e.derive_key_blake3(seed, "ctx", size):
                bad.append(["blake3 key", size])
if threads == 1:
    data = rng.randbytes(2 * 2**20 + 300)
    lengths = [n for k in range(9) for n in (136 * k - 1, 136 * k, 136 * k + 1) if n >= 0]
    lengths += [2**20, 2 * 2**20 - 1, 2 * 2**20, 2 * 2**20 + 1, len(data)]
    for n in lengths:
        if e.sha3_256(data[:n]) != hashlib.sha3_256(data[:n]).digest():
            bad.append(["sha3_256", n])
print(json.dumps(bad))
"""


def random_cases(count, seed):
    rng = random.Random(seed)
    return [(rng.randint(1, 70), rng.randint(1, 70), rng.choice([0, 1, 7, 300, 513, 1100, 2048]),
             rng.randint(0, 3), rng.choice([0, 1, 64, 100])) for _ in range(count)]


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("threads", [1, 2, 3, 9, 16])
def test_the_engine_gives_the_modules_bytes(level, threads):
    cases = random_cases(scaled(40), threads)
    env = {"QUORVEX_SIMD_LEVEL": level, "RAYON_NUM_THREADS": str(threads)}
    out = run_python(AGAINST_THE_MODULE, env=env, timeout=600,
                     stdin=json.dumps([threads, cases])).stdout
    assert json.loads(out) == []


# The models walk 65,535 chunks slowly: a small image, one step a chunk.
@pytest.mark.parametrize("level", LEVELS)
def test_65535_chunks_match_the_models(level):
    rng = random.Random(65535)
    pixels = rng.randbytes(5 * 4 * 3)
    args = (rng.randbytes(64), pixels, 5, 4, 70000, 1)
    script = f"""
        from quorvex import _engine as e
        print(e.blake3_walk({args!r}[0], {args!r}[1], 5, 4, 70000, 1, 65535).hex())
    """
    got = run_python(script, env={"QUORVEX_SIMD_LEVEL": level}).stdout.strip()
    assert got == models.blake3_walk(*args, 65535).hex()


# --- the whole road in one call -----------------------------------------------

def road_by_the_models(image_hash, nonce, timestamp, version, pixels, width, height, walk,
                       steps, layers, threads, kdf, label, key_size):
    seed = models.initial_seed(image_hash, nonce, timestamp, version)
    if walk == "sha3":
        pool = models.sha3_walk(seed, pixels, width, height, steps, layers)
    else:
        pool = models.blake3_walk(seed, pixels, width, height, steps, layers, threads)
    if kdf == "hkdf":
        return models.derive_key_hkdf(pool, nonce, label, key_size)
    return models.derive_key_blake3(pool, label, key_size)


def test_derive_is_the_seed_walk_and_final_key_chained():
    rng = random.Random(2026)
    for walk, kdf, threads in [("sha3", "hkdf", None), ("sha3", "blake3", None),
                               ("blake3", "hkdf", 1), ("blake3", "blake3", 3),
                               ("blake3", "hkdf", 16)]:
        for key_size in (16, 32, 64):
            width, height = rng.randint(1, 12), rng.randint(1, 12)
            pixels = rng.randbytes(width * height * 3)
            label = rng.randbytes(rng.randint(0, 40)) if kdf == "hkdf" else "ctx-" + str(key_size)
            args = (hashlib.sha3_256(pixels).digest(), rng.randbytes(16), rng.getrandbits(64),
                    "v-" + str(key_size), pixels, width, height, walk, rng.randint(0, 200),
                    rng.randint(1, 3), threads, kdf, label, key_size)
            assert engine.derive(*args) == road_by_the_models(*args), args


# A road of one step over one black pixel, in derive's argument order.
ROAD = {"image_hash": bytes(32), "nonce": bytes(16), "timestamp": 1, "version": "v",
        "pixels": bytes(3), "width": 1, "height": 1, "walk": "sha3", "steps": 1, "layers": 1,
        "threads": None, "kdf": "hkdf", "label": b"", "key_size": 32}


def road(**changes):
    assert set(changes) <= set(ROAD)
    return list({**ROAD, **changes}.values())


def test_derive_refuses_what_the_road_cannot_take():
    refused = [
        (ValueError, "walk must be 'sha3' or 'blake3'", road(walk="sha2")),
        (ValueError, "kdf must be 'hkdf' or 'blake3'", road(kdf="pbkdf2")),
        (ValueError, "the SHA3 walk takes no threads", road(threads=2)),
        (ValueError, "threads must be 1 to 65535", road(walk="blake3", threads=0)),
        (ValueError, "threads must be 1 to 65535", road(walk="blake3", threads=65536)),
        (TypeError, None, road(walk="blake3", threads=None)),
        (TypeError, None, road(kdf="blake3", label=b"a context is text")),
        (TypeError, None, road(label="info is bytes")),
        (TypeError, "14 positional arguments", road()[:-1]),
    ]
    for error, message, args in refused:
        with pytest.raises(error, match=message):
            engine.derive(*args)
    # The core's own checks surface as the walks' do: RuntimeError with the
    # module's message (here, pixels that do not fit the size).
    misfit = outcome(engine.derive, *road(width=2))
    assert misfit[0] == "panic"
    assert misfit == outcome(engine.sha3_walk, bytes(64), bytes(3), 2, 1, 1, 1)


# --- threads ----------------------------------------------------------------

COUNT_THREADS = """
import os, time
from quorvex import _engine as e
before = len(os.listdir("/proc/self/task"))
start = time.perf_counter()
e.blake3_walk(bytes(64), bytes(range(256)) * 12, 32, 32, 65535 * 4, 2, 65535)
elapsed = time.perf_counter() - start
print(len(os.listdir("/proc/self/task")) - before, len(os.sched_getaffinity(0)), elapsed)
"""


def test_65535_chunks_start_no_more_threads_than_cpus():
    started, cpus, _ = run_python(COUNT_THREADS).stdout.split()
    assert 1 <= int(started) <= int(cpus)


def test_65535_chunks_on_one_cpu_start_one_thread():
    script = "import os\nos.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n" + COUNT_THREADS
    started, cpus, _ = run_python(script).stdout.split()
    assert (started, cpus) == ("1", "1")


def test_concurrent_calls_are_exact():
    """Python threads deriving at once, with mixed counts: one call has the
    pool, the others walk on their own threads; every result is exact."""
    rng = random.Random(7)
    pixels = rng.randbytes(40 * 30 * 3)
    counts = [1, 2, 3, 9, 16, 2, 3, 100]
    expected_pools = {t: models.blake3_walk(b"seed", pixels, 40, 30, 600, 2, t) for t in set(counts)}
    expected_sha3 = models.sha3_walk(bytes(64), pixels, 40, 30, 300, 2)
    failures = []

    def derive(threads):
        for _ in range(scaled(20)):
            if engine.blake3_walk(b"seed", pixels, 40, 30, 600, 2, threads) != expected_pools[threads]:
                failures.append(("blake3", threads))
            if engine.sha3_walk(bytes(64), pixels, 40, 30, 300, 2) != expected_sha3:
                failures.append(("sha3", threads))

    workers = [threading.Thread(target=derive, args=(t,)) for t in counts]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=300)
    assert not any(worker.is_alive() for worker in workers)
    assert failures == []


def test_arguments_are_checked_before_any_work():
    with pytest.raises(ValueError, match="threads"):
        engine.blake3_walk(b"", bytes(3), 1, 1, 1, 1, 0)
    with pytest.raises(ValueError, match="threads"):
        engine.blake3_walk(b"", bytes(3), 1, 1, 1, 1, 65536)
    with pytest.raises(OverflowError):
        engine.sha3_walk(bytes(64), bytes(3), -1, 1, 1, 1)
    with pytest.raises(TypeError):
        engine.sha3_256("text")
    with pytest.raises(TypeError):
        engine.sha3_walk(bytes(64), bytes(3), 1, 1, 1)


# --- the interpreter lock and Ctrl-C ----------------------------------------------

# A SIGALRM handler raises Stop 0.3 s into the call; prints, per call, how
# long after the signal the exception arrived and whether the engine is
# usable afterwards. The interval timer and the handler stand in for Ctrl-C.
INTERRUPTS = """
import signal, time
from quorvex import _engine as e

class Stop(Exception):
    pass

fired = []
def handler(signum, frame):
    fired.append(time.monotonic())
    raise Stop

signal.signal(signal.SIGALRM, handler)
pixels = bytes(range(256)) * 3 * 16
calls = {
    "sha3": lambda: e.sha3_walk(bytes(64), pixels, 64, 64, 10**9, 1),
    "blake3": lambda: e.blake3_walk(b"s", pixels, 64, 64, 10**10, 1, 2),
    "blake3-one-chunk": lambda: e.blake3_walk(b"s", pixels, 64, 64, 10**9, 1, 1),
    "blake3-many-layers": lambda: e.blake3_walk(b"s", pixels, 64, 64, 10, 10**9, 9),
    "image-hash": lambda: e.sha3_256(memoryview(bytes(2**31))),
    "derive-sha3": lambda: e.derive(bytes(32), b"n", 1, "v", pixels, 64, 64, "sha3", 10**9, 1,
                                    None, "hkdf", b"", 32),
    "derive-blake3": lambda: e.derive(bytes(32), b"n", 1, "v", pixels, 64, 64, "blake3", 10**10,
                                      1, 2, "blake3", "ctx", 32),
}
for name, call in calls.items():
    fired.clear()
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        call()
        print(name, "not interrupted")
    except Stop:
        print(name, time.monotonic() - fired[0])
print("after", len(e.blake3_walk(b"s", pixels, 64, 64, 100, 2, 3)))
"""


@pytest.mark.skipif(SANITIZED, reason="a 2 GiB buffer is too heavy under the sanitizers")
def test_a_signal_ends_a_long_call_within_a_tenth_of_a_second():
    lines = run_python(INTERRUPTS, timeout=120).stdout.splitlines()
    assert lines[-1] == "after 32"
    for line in lines[:-1]:
        name, delay = line.split(" ", 1)
        assert delay != "not interrupted", name
        assert float(delay) < 0.1, line


def test_other_threads_run_during_a_long_call():
    """A thread beside a walk gets the interpreter: it counts while the walk
    runs (the walk holding the lock would leave it at about 0)."""
    pixels = bytes(range(256)) * 3 * 16
    for walk in (lambda: engine.sha3_walk(bytes(64), pixels, 64, 64, 400_000, 1),
                 lambda: engine.blake3_walk(b"s", pixels, 64, 64, 2_000_000, 1, 2)):
        running = threading.Event()
        stop = threading.Event()
        ticks = [0]

        def tick():
            running.set()
            while not stop.is_set():
                ticks[0] += 1

        ticker = threading.Thread(target=tick)
        ticker.start()
        running.wait()
        before = ticks[0]
        walk()
        during = ticks[0] - before
        stop.set()
        ticker.join()
        assert during > 1000


def test_a_daemon_thread_in_a_call_at_interpreter_exit_leaves_quietly():
    # Re-taking the lock at exit ends a daemon thread by a forced unwind,
    # which must pass through the engine rather than abort the process. A
    # finalizer at shutdown keeps the interpreter finalising while the call
    # comes back.
    result = run_python("""
        import gc, os, threading, time
        from quorvex import _engine
        gc.disable()
        data = bytes(200 << 20)
        started = threading.Event()
        class SlowToFinalize:
            def __del__(self, time=time):
                time.sleep(2)
        cycle = SlowToFinalize(); cycle.me = cycle; del cycle
        def work():
            started.set()
            _engine.sha3_256(data)
        threading.Thread(target=work, daemon=True).start()
        started.wait(); time.sleep(0.05)
        """, check=False, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "terminate" not in result.stderr


def test_image_hash_releases_its_buffer():
    data = bytearray(1000)
    assert engine.sha3_256(data) == hashlib.sha3_256(data).digest()
    data.extend(b"x")  # resizing fails while a buffer export is held
    assert engine.sha3_256(memoryview(data)[1:]) == hashlib.sha3_256(data[1:]).digest()


def test_an_event_loop_runs_callbacks_while_a_derivation_runs_in_to_thread():
    """await asyncio.to_thread(quorvex.derive_key, ...) leaves the loop free:
    a callback scheduled every millisecond keeps running meanwhile."""
    import asyncio

    import quorvex

    image = quorvex.RgbImage(bytes(range(256)) * 3 * 16, 64, 64)
    callbacks_during = []

    async def main():
        loop = asyncio.get_running_loop()
        ticks = [0]

        def tick():
            ticks[0] += 1
            loop.call_later(0.001, tick)

        loop.call_soon(tick)
        await asyncio.sleep(0.01)
        for walk, steps in (("sha3", 400_000), ("blake3", 4_000_000)):
            before = ticks[0]
            key = await asyncio.to_thread(quorvex.derive_key, image, nonce=b"n", timestamp=1,
                                          walk=walk, steps=steps, layers=1)
            callbacks_during.append(ticks[0] - before)
            assert len(key) == 32

    asyncio.run(main())
    # Each derivation takes a good fraction of a second: a loop that stalls
    # for it would run a callback or two.
    assert all(count > 20 for count in callbacks_during), callbacks_during
