"""The parallel BLAKE3 walk, against the plain Python model, for pools of
one to sixteen threads (each pool size in its own process). Where the
threads outnumber the CPUs, workers walk groups of chunks, side by side in
vector lanes."""
import os
import random
import threading

import pytest

import models
from conftest import blake3_walks_in_process, outcome, raises_panic, run_python, scaled
from fixed_texts import BLAKE3_DIMENSION, ZERO_DIVISOR, diagnostic, out_of_bounds

EMPTY_BLAKE3 = models._b3(b"")


def random_cases(count, seed):
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        width, height = rng.randint(1, 9), rng.randint(1, 9)
        palette = [rng.randbytes(3) for _ in range(rng.randint(1, 5))]
        pixels = b"".join(rng.choice(palette) for _ in range(width * height))
        pixels += rng.randbytes(rng.choice([0, 0, 5]))  # longer buffers are fine
        if rng.random() < 0.15:  # short ones fail only if the walk reads past them
            pixels = pixels[:rng.randrange(len(pixels))]
        cases.append((rng.randbytes(rng.choice([0, 32, 64])), pixels, width, height,
                      rng.randint(0, 12), rng.randint(0, 3)))
    return cases


def model_outcome(case, threads):
    return outcome(models.blake3_walk, *case, threads)


@pytest.mark.parametrize("threads", [1, 2, 3, 4, 9, 16])
def test_matches_model(threads):
    cases = random_cases(scaled(1000), seed=threads)
    assert blake3_walks_in_process(threads, cases) == [model_outcome(c, threads) for c in cases]


@pytest.mark.parametrize("threads", [1, 2, 3, 16])
def test_edge_cases_match_model(threads):
    rng = random.Random(99)
    image = rng.randbytes(100 * 70 * 3)
    cases = [
        (b"s", image, 100, 70, 512 * threads, 1),      # exactly one window per chunk
        (b"s", image, 100, 70, 513 * threads, 1),      # the last step re-anchors
        (b"s", image, 100, 70, 1100 * threads, 2),
        (b"", bytes([9, 8, 7]), 1, 1, 6, 2),            # 1 x 1: the pixel nine times
        (b"edge", image[:3 * 70], 1, 70, 40, 1),        # one column
        (b"edge", image[:3 * 100], 100, 1, 40, 1),      # one row
        (b"", image, 100, 70, 0, 1),
    ]
    assert blake3_walks_in_process(threads, cases) == [model_outcome(c, threads) for c in cases]


def test_zero_layers_is_blake3_of_nothing(q):
    for args in [(b"", b"", 0, 0, 0), (b"x" * 99, b"abc", 5, 0, 2**64 - 1),
                 (b"", b"", 2**64 - 1, 2**64 - 1, 7)]:
        assert bytes(q.execute_multilayer_blake3(*args, 0)) == EMPTY_BLAKE3


@pytest.mark.parametrize("args,message", [
    ((b"", b"", 0, 5, 1, 1), ZERO_DIVISOR),
    ((b"", b"", 5, 0, 0, 1), ZERO_DIVISOR),
    ((b"", b"", 0, 2**40, 1, 1), ZERO_DIVISOR),
    ((b"", bytes(30), 2**31, 1, 1, 1), BLAKE3_DIMENSION),
    ((b"", bytes(30), 1, 2**31, 1, 1), BLAKE3_DIMENSION),
])
def test_size_failures(q, args, message):
    with raises_panic(message):
        q.execute_multilayer_blake3(*args)


@pytest.mark.parametrize("width,height", [(2**31 - 1, 1), (1, 2**31 - 1)])
def test_largest_size_is_walked(q, width, height):
    # Not refused: with a short buffer the first read past it fails.
    with raises_panic(prefix=out_of_bounds(30)):
        q.execute_multilayer_blake3(b"", bytes(30), width, height, 1, 1)


def test_short_buffer_fails_at_the_first_read_past_it(q):
    with raises_panic(prefix=out_of_bounds(10)):
        q.execute_multilayer_blake3(b"", bytes(10), 4, 4, 50, 1)


def test_longer_buffer_equals_its_prefix(q):
    rng = random.Random(4)
    pixels = rng.randbytes(6 * 5 * 3)
    assert q.execute_multilayer_blake3(b"s", pixels, 6, 5, 30, 2) == \
        q.execute_multilayer_blake3(b"s", pixels + rng.randbytes(50), 6, 5, 30, 2)


def test_small_step_counts_all_walk_one_step_per_chunk():
    script = """
        import _quorvex_core as q
        pixels = bytes(range(75))
        print(len({bytes(q.execute_multilayer_blake3(b"s", pixels, 5, 5, steps, 2))
                   for steps in range(0, 6)}))
        print(len({bytes(q.execute_multilayer_blake3(b"s", pixels, 5, 5, steps, 2))
                   for steps in range(6, 9)}))
    """
    result = run_python(script, env={"RAYON_NUM_THREADS": "3"})
    # steps 0..5 give one step per chunk; 6, 7, 8 give two.
    assert result.stdout.split() == ["1", "1"]


def test_pool_size_changes_the_result():
    script = """
        import _quorvex_core as q
        print(bytes(q.execute_multilayer_blake3(b"s", bytes(range(75)), 5, 5, 40, 2)).hex())
    """
    one = run_python(script, env={"RAYON_NUM_THREADS": "1"}).stdout
    two = run_python(script, env={"RAYON_NUM_THREADS": "2"}).stdout
    assert one != two


def test_repeated_and_concurrent_calls_agree(q):
    rng = random.Random(5)
    pixels = rng.randbytes(40 * 30 * 3)
    args = (b"seed", pixels, 40, 30, 3000, 3)
    expected = q.execute_multilayer_blake3(*args)
    results = []

    def call():
        for _ in range(5):
            results.append(q.execute_multilayer_blake3(*args))

    threads = [threading.Thread(target=call) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 15


@pytest.mark.parametrize("threads,thread_name", [("1", "main"), ("2", "<unnamed>")])
def test_diagnostic_names_the_thread_that_failed(threads, thread_name):
    script = """
        import _quorvex_core as q
        try:
            q.execute_multilayer_blake3(b"", bytes(10), 4, 4, 50, 1)
        except BaseException as error:
            print(type(error).__name__)
    """
    result = run_python(script, env={"RAYON_NUM_THREADS": threads})
    assert result.stdout.strip() == "PanicException"
    assert diagnostic(thread_name, "src/core/blake3_step.hpp") in result.stderr  # the pixel read
