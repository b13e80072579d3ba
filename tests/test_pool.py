"""The worker pool: its size from the environment, fork safety, exit."""
import os
import shutil
import subprocess
import textwrap

import pytest

from conftest import INTERRUPT_PRELUDE, run_python
from fixed_texts import POOL_ALREADY_INITIALIZED, POOL_START_FAILED

SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitize"

# Prints the pool's thread count (threads of the process after the first
# BLAKE3 call, less the main thread) and a result that depends on it.
REPORT = """
    import os, _quorvex_core as q
    before = len(os.listdir("/proc/self/task"))
    result = bytes(q.execute_multilayer_blake3(b"s", bytes(range(48)), 4, 4, 64, 1)).hex()
    print(len(os.listdir("/proc/self/task")) - before, result)
"""


def pool_report(env, prelude=""):
    """(thread count, result) in a fresh process whose environment holds
    only the given RAYON_ variables."""
    unset = {name: None for name in os.environ if name.startswith("RAYON_")}
    result = run_python(textwrap.dedent(prelude) + textwrap.dedent(REPORT), env={**unset, **env},
                        timeout=300)
    count, digest = result.stdout.split()
    return int(count), digest


@pytest.fixture(scope="module")
def default_count():
    return pool_report({})[0]


def test_default_is_the_available_parallelism(default_count):
    assert 1 <= default_count <= len(os.sched_getaffinity(0))


# The parsing rule itself is tested in C++ (ParseDecimal, FakeSystem); these
# cases check that the real process reads the two variables that way.
@pytest.mark.parametrize("env,expected", [
    ({"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": "3"}, 4),
    ({"RAYON_NUM_THREADS": "+007"}, 7),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
])
def test_thread_count_from_environment(env, expected):
    assert pool_report(env)[0] == expected


@pytest.mark.parametrize("env", [
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"},
    {"RAYON_RS_NUM_CPUS": "+"},
])
def test_fallbacks_to_the_default(env, default_count):
    assert pool_report(env)[0] == default_count


def test_same_count_same_result():
    assert pool_report({"RAYON_NUM_THREADS": "3"}) == pool_report({"RAYON_RS_NUM_CPUS": "3"})


def test_affinity_limits_the_default():
    count, _ = pool_report({}, prelude="import os\nos.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n")
    assert count == 1


# Stands in for pthread_create: counts the threads asked for and starts
# none, so that the count shows on any machine, whatever its pid_max.
COUNTING_PTHREAD_CREATE = r"""
#include <pthread.h>
static unsigned long requested;
int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                   void *(*entry)(void *), void *argument) {
    (void)attributes; (void)entry; (void)argument;
    *thread = (pthread_t)++requested;
    return 0;
}
unsigned long requested_threads(void) { return requested; }
"""

# With no layers the pool is created but given no job, which its workers,
# never started, could not run.
REQUESTED = """
    import ctypes, _quorvex_core as q
    q.execute_multilayer_blake3(b"s", b"", 0, 0, 0, 0)
    print(ctypes.CDLL(None).requested_threads())
"""

CAPPED = """
    import os, _quorvex_core as q
    before = len(os.listdir("/proc/self/task"))
    for attempt in range(2):
        try:
            q.execute_multilayer_blake3(b"s", bytes(48), 4, 4, 1, 1)
            print("threads", len(os.listdir("/proc/self/task")) - before)
        except BaseException as error:
            print("failed", str(error))
"""


@pytest.mark.skipif(SANITIZED, reason="tens of thousands of threads are too heavy under the sanitizers, "
                                      "whose runtime must also come first in LD_PRELOAD")
@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_count_is_capped_or_creation_fails_for_good(tmp_path):
    """100000 is capped to 65535 threads: the pool asks for exactly that many
    (counted by a stand-in pthread_create). A machine that cannot start that
    many (pid_max, max_map_count) fails the request, every time."""
    source = tmp_path / "counting.c"
    source.write_text(COUNTING_PTHREAD_CREATE)
    counting = tmp_path / "counting.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(counting), str(source)], check=True)
    env = {"RAYON_NUM_THREADS": "100000"}
    requested = run_python(REQUESTED, env={**env, "LD_PRELOAD": str(counting)}).stdout
    assert requested.split() == ["65535"]

    lines = run_python(CAPPED, env=env, timeout=300).stdout.splitlines()
    if lines[0].startswith("threads"):
        assert lines == ["threads 65535"] * 2
    else:
        assert lines[0].startswith("failed " + POOL_START_FAILED)
        assert lines[1] == "failed " + POOL_ALREADY_INITIALIZED


def test_environment_is_read_once():
    script = """
        import os, _quorvex_core as q
        args = (b"s", bytes(range(48)), 4, 4, 64, 1)
        first = q.execute_multilayer_blake3(*args)
        os.environ["RAYON_NUM_THREADS"] = "1"
        print(q.execute_multilayer_blake3(*args) == first, len(os.listdir("/proc/self/task")))
    """
    assert run_python(script, env={"RAYON_NUM_THREADS": "3"}).stdout.split() == ["True", "4"]


FORK = """
    import os, sys, _quorvex_core as q
    args = (b"s", bytes(range(48)), 4, 4, 200, 2)
    parent = q.execute_multilayer_blake3(*args)
    pid = os.fork()
    if pid == 0:
        ok = q.execute_multilayer_blake3(*args) == parent
        threads = len(os.listdir("/proc/self/task"))
        os._exit(0 if ok and threads == 4 else 1)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
"""


def test_fork_child_gets_a_working_pool_of_the_same_size():
    assert run_python(FORK, env={"RAYON_NUM_THREADS": "3"}, timeout=60).stdout.strip() == "0"


MULTIPROCESSING = """
    import multiprocessing, _quorvex_core as q
    ARGS = (b"s", bytes(range(48)), 4, 4, 200, 2)

    def walk(_):
        return q.execute_multilayer_blake3(*ARGS)

    if __name__ == "__main__":
        expected = walk(0)
        with multiprocessing.get_context("fork").Pool(2) as pool:
            print(all(r == expected for r in pool.map(walk, range(6))))
"""


def test_multiprocessing_fork_pool():
    result = run_python(MULTIPROCESSING, env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert result.stdout.strip() == "True"


@pytest.mark.parametrize("ending", [
    "pass",
    "import os; os._exit(0)",
    "import threading, sys\n"
    "t = threading.Thread(target=lambda: sys.exit(0)); t.start(); t.join()",
    "import threading, os\n"
    "t = threading.Thread(target=lambda: os._exit(0)); t.start(); t.join()",
])
def test_process_exits_cleanly_with_a_pool(ending):
    script = ("import _quorvex_core as q\n"
              "q.execute_multilayer_blake3(b's', bytes(48), 4, 4, 64, 1)\n" + ending + "\n")
    result = run_python(script, env={"RAYON_NUM_THREADS": "4"}, timeout=30, check=False)
    assert result.returncode == 0
    assert "terminate called" not in result.stderr


INTERRUPT = INTERRUPT_PRELUDE + """
pixels = bytes(range(256)) * 3 * 16
for steps, layers in ((10**10, 1), (10, 10**9)):
    print(interrupted(lambda: q.execute_multilayer_blake3(b"s", pixels, 64, 64, steps, layers)))
print(len(q.execute_multilayer_blake3(b"s", pixels, 64, 64, 100, 2)))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_signal_handler_interrupts_a_long_walk(threads):
    result = run_python(INTERRUPT, env={"RAYON_NUM_THREADS": threads}, timeout=60)
    assert result.stdout.split() == ["True", "True", "32"]
