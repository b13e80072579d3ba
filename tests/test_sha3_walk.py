"""The sequential SHA3 walk, against the plain Python model."""
import hashlib
import os
import random

import pytest
from hypothesis import given, settings, strategies as st

import models
from conftest import INTERRUPT_PRELUDE, outcome, raises_panic, run_python, scaled
from fixed_texts import (CAPACITY_OVERFLOW, PIXEL_LENGTH, SEED_LENGTH, ZERO_DIVISOR,
                         out_of_bounds, unequal)

EMPTY_512 = hashlib.sha3_512(b"").digest()


@st.composite
def walks(draw):
    width = draw(st.integers(1, 7))
    height = draw(st.integers(1, 7))
    # Few distinct colours make equal neighbours and flat windows likely.
    palette = draw(st.lists(st.binary(min_size=3, max_size=3), min_size=1, max_size=4))
    pixels = b"".join(draw(st.sampled_from(palette)) for _ in range(width * height))
    seed = draw(st.binary(min_size=64, max_size=64))
    steps = draw(st.integers(0, 12))
    layers = draw(st.integers(0, 3))
    return seed, pixels, width, height, steps, layers


@settings(max_examples=scaled(2000))
@given(walks())
def test_matches_model(q, case):
    assert bytes(q.execute_multilayer_sha3(*case)) == models.sha3_walk(*case)


@pytest.mark.parametrize("width,height", [(1, 1), (2, 1), (1, 2), (3, 3), (17, 5), (64, 48)])
def test_matches_model_on_random_images(q, width, height):
    rng = random.Random(width * 1000 + height)
    pixels = rng.randbytes(width * height * 3)
    seed = rng.randbytes(64)
    case = (seed, pixels, width, height, 40, 2)
    assert bytes(q.execute_multilayer_sha3(*case)) == models.sha3_walk(*case)


@pytest.mark.parametrize("seed,pixels,width,height,steps", [
    (b"abc", b"xx", 0, 0, 5),
    (b"", b"", 7, 9, 0),
    (bytes(64), bytes(3), 2**64 - 1, 2**64 - 1, 2**64 - 1),
])
def test_zero_layers_is_the_empty_digest(q, seed, pixels, width, height, steps):
    assert bytes(q.execute_multilayer_sha3(seed, pixels, width, height, steps, 0)) == EMPTY_512


@pytest.mark.parametrize("layers", [1, 2, 5])
def test_zero_steps(q, layers):
    expected = hashlib.sha3_512(EMPTY_512 * layers).digest()
    assert bytes(q.execute_multilayer_sha3(bytes(64), b"", 0, 0, 0, layers)) == expected
    assert bytes(q.execute_multilayer_sha3(bytes(64), bytes(12), 2, 2, 0, layers)) == expected


def test_layers_chain_by_final_state(q):
    rng = random.Random(7)
    pixels, seed = rng.randbytes(5 * 4 * 3), rng.randbytes(64)
    state = seed
    digests = []
    for _ in range(2):
        visits = b""
        for _ in range(6):
            state, visit = models.walk_step(pixels, 5, 4, state)
            visits += visit
        digests.append(hashlib.sha3_512(visits).digest())
    expected = hashlib.sha3_512(b"".join(digests)).digest()
    assert bytes(q.execute_multilayer_sha3(seed, pixels, 5, 4, 6, 2)) == expected


@pytest.mark.parametrize("args,message", [
    ((bytes(63), b"wrong", 2, 2, 1, 1), unequal(SEED_LENGTH, 63, 64)),
    ((bytes(65), b"", 0, 0, 0, 1), unequal(SEED_LENGTH, 65, 64)),
    ((bytes(64), bytes(11), 2, 2, 1, 1), unequal(PIXEL_LENGTH, 11, 12)),
    ((bytes(64), bytes(3), 2**63, 2, 1, 1), unequal(PIXEL_LENGTH, 3, 0)),
    ((bytes(64), bytes(12), 2, 2, 2**58, 1), CAPACITY_OVERFLOW),
    ((bytes(64), bytes(12), 2, 2, 2**64 - 1, 3), CAPACITY_OVERFLOW),
    ((bytes(64), b"", 0, 5, 1, 1), ZERO_DIVISOR),
    ((bytes(64), b"", 5, 0, 1, 1), ZERO_DIVISOR),
    ((bytes(64), b"", 0, 0, 1, 1), ZERO_DIVISOR),
    # Sizes whose product wraps modulo 2^64 pass the size check; the reads
    # are still checked and the first offending index is named.
    ((bytes(64), b"", 2**63, 2, 1, 1), None),
    ((bytes(64), b"", 2**62, 4, 3, 1), None),
    ((bytes(64), b"", 2**63, 2**63, 1, 2), None),
])
def test_failures(q, args, message):
    result = outcome(q.execute_multilayer_sha3, *args)
    assert result == outcome(models.sha3_walk, *args)
    assert result[0] == "panic"
    if message is not None:
        assert result[1] == message
    else:
        assert result[1].startswith(out_of_bounds(0))


def test_largest_allowed_step_count_is_not_refused(q):
    # 2^58 - 1 steps fit; prove the check lets them through without walking
    # them by failing on the zero width right after it.
    with raises_panic(ZERO_DIVISOR):
        q.execute_multilayer_sha3(bytes(64), b"", 0, 7, 2**58 - 1, 1)


def test_repeatable(q):
    args = (bytes(range(64)), bytes(range(48)), 4, 4, 100, 3)
    assert q.execute_multilayer_sha3(*args) == q.execute_multilayer_sha3(*args)


def test_memory_does_not_grow_with_steps():
    script = """
        import resource, _quorvex_core as q
        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        pixels = bytes(range(256)) * 3 * 4
        q.execute_multilayer_sha3(bytes(64), pixels, 32, 32, 10, 1)
        before = peak()
        q.execute_multilayer_sha3(bytes(64), pixels, 32, 32, {steps}, 1)
        print(peak() - before)
    """
    steps = 300_000 if os.environ.get("HYPOTHESIS_PROFILE") != "sanitize" else 60_000
    grown_kib = int(run_python(script.format(steps=steps)).stdout)
    # Keeping every visit digest would cost steps * 32 bytes (9.6 MB).
    assert grown_kib < steps * 32 / 1024 / 4


INTERRUPT = INTERRUPT_PRELUDE + """
print(interrupted(lambda: q.execute_multilayer_sha3(bytes(64), bytes(300), 10, 10, 10**9, 5)))
print(len(q.execute_multilayer_sha3(bytes(64), bytes(300), 10, 10, 10, 1)))
"""


def test_signal_handler_interrupts_a_long_walk():
    result = run_python(INTERRUPT, timeout=60)
    assert result.stdout.split() == ["True", "64"]
