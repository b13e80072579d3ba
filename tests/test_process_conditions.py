"""The module under real process conditions: signal handlers and garbage
collection that call back into it, several threads, fork, daemon threads at
shutdown. Each scenario runs in its own interpreter with a timeout, so a
hang fails its test instead of the run."""
import os

import pytest

from conftest import INTERRUPT_PRELUDE, run_python

SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitize"
# Long enough that every scenario overlaps many signals or collections.
LONG_STEPS = 200_000 if SANITIZED else 2_000_000

# A walk whose result is known from a quiet call of the same process.
PRELUDE = """
    import gc, os, signal, sys, threading, time, _quorvex_core as q

    SMALL = (bytes(64), bytes(64 * 64 * 3), 64, 64, 100, 1)
    IMAGE = bytes(range(256)) * (64 * 64 * 3 // 256)
    LONG = (b"seed", IMAGE, 64, 64, {long_steps}, 1)
    small_expected = q.execute_multilayer_blake3(*SMALL)
    long_expected = q.execute_multilayer_blake3(*LONG)
    results = []

    def check(result, expected):
        if result != expected:
            print("wrong result", flush=True)
            os._exit(3)
"""


def scenario(body, timeout=120):
    code = PRELUDE.format(long_steps=LONG_STEPS) + body
    return run_python(code, env={"RAYON_NUM_THREADS": "2"}, timeout=timeout)


def test_a_signal_handler_may_call_the_walk_while_the_main_thread_walks():
    scenario("""
    def handler(signum, frame):
        check(q.execute_multilayer_blake3(*SMALL), small_expected)
        results.append(1)

    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    for _ in range(3):
        check(q.execute_multilayer_blake3(*LONG), long_expected)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert results, "the handler never ran during a walk"
    """)


def walk_in_two_threads(setup):
    return setup + """
    stop = threading.Event()

    def other():
        while not stop.is_set():
            check(q.execute_multilayer_blake3(*SMALL), small_expected)
            results.append(1)

    thread = threading.Thread(target=other)
    thread.start()
    for _ in range(3):
        check(q.execute_multilayer_blake3(*LONG), long_expected)
    stop.set()
    thread.join()
    signal.setitimer(signal.ITIMER_REAL, 0)
    """


def test_an_empty_signal_handler_lets_another_thread_call_the_walk():
    scenario(walk_in_two_threads("""
    signal.signal(signal.SIGALRM, lambda signum, frame: None)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    """))


def test_finalizers_run_by_garbage_collection_during_a_wait():
    # The long walk's step count leaves garbage with a finalizer behind and
    # schedules a collection on its way in (a list display allocates without
    # an evaluation-breaker check), so the collection runs in the signal
    # check of the waiting caller.
    scenario(walk_in_two_threads("""
    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            pass

    class Steps:
        def __index__(self):
            garbage = Cycle()
            scheduled = [garbage]
            return {long_steps}

    gc.set_threshold(1)
    LONG = LONG[:4] + (Steps(),) + LONG[5:]
    """.format(long_steps=LONG_STEPS)))


def test_fork_in_a_signal_handler_leaves_a_working_child():
    scenario("""
    children = []

    def handler(signum, frame):
        if not children:
            pid = os.fork()
            if pid == 0:
                children.append(0)  # in the child: the interrupted walk goes on
            else:
                children.append(pid)

    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    result = q.execute_multilayer_blake3(*LONG)
    signal.setitimer(signal.ITIMER_REAL, 0)
    if children == [0]:
        # The child's walk finished on its own thread; so does a new one.
        os._exit(0 if result == long_expected
                 and q.execute_multilayer_blake3(*SMALL) == small_expected else 4)
    check(result, long_expected)
    assert children, "the handler never ran during the walk"
    deadline = time.monotonic() + 100
    while time.monotonic() < deadline:
        pid, status = os.waitpid(children[0], os.WNOHANG)
        if pid:
            assert os.waitstatus_to_exitcode(status) == 0, status
            break
        time.sleep(0.05)
    else:
        os.kill(children[0], signal.SIGKILL)
        raise AssertionError("the forked child hangs")
    """, timeout=150)


def test_a_daemon_thread_in_a_call_at_shutdown_exits_cleanly():
    # The daemon thread sleeps in an argument's __index__ with the
    # interpreter lock released; it wakes while the main thread is
    # finalizing (held up by a slow finalizer), and the interpreter ends it
    # by unwinding its stack through the module's frames.
    result = run_python("""
        import gc, threading, time, _quorvex_core as q

        class Slow:
            def __index__(self):
                time.sleep(0.3)
                return 32

        class HoldsUpShutdown:
            def __del__(self):
                time.sleep(1.0)

        def call():
            q.derive_key_blake3(bytes(64), "c", Slow())

        # Collected only by the interpreter's last collection, after the
        # daemon threads have been told to stop.
        gc.disable()
        keeper = HoldsUpShutdown()
        keeper.cycle = keeper
        del keeper
        threading.Thread(target=call, daemon=True).start()
        time.sleep(0.1)
    """, check=False, timeout=60)
    assert result.returncode == 0, result.stderr


def test_a_walk_of_empty_layers_can_be_interrupted():
    result = run_python(INTERRUPT_PRELUDE + """
print(interrupted(lambda: q.execute_multilayer_sha3(bytes(64), bytes(3), 1, 1, 0, 2**64 - 1)))
    """, timeout=60)
    assert result.stdout.split() == ["True"]
