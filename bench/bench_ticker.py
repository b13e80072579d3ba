"""A Python thread beside a long derivation: does it keep running?

A ticker thread wakes every millisecond and counts (as a server thread or an
event loop that answers requests would). Its rate is measured alone, during
a SHA3 walk and a BLAKE3 walk of about 2 seconds each through the package's
engine, during the same walks through _quorvex_core (which holds the
interpreter lock, as specified), and, as the floor, during hashlib.sha3_256
of a large buffer (which releases the lock). Printed as the share of the
free rate each keeps, best and median of the rounds.

Usage: python bench/bench_ticker.py [--rounds N] [--seconds S]
"""
from __future__ import annotations

import argparse
import hashlib
import statistics
import threading
import time
from collections.abc import Callable

import _quorvex_core as core
from quorvex import _engine as engine

PIXELS = bytes(range(256)) * 3 * 256  # 256 x 256 RGB
SEED = bytes(64)
TICK = 0.001


class Ticker:
    """Counts wake-ups of a thread that sleeps TICK between them."""

    def __init__(self) -> None:
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            time.sleep(TICK)
            self.ticks += 1

    def rate_during(self, work: Callable[[], object]) -> float:
        before, start = self.ticks, time.perf_counter()
        work()
        return (self.ticks - before) / (time.perf_counter() - start)

    def __enter__(self) -> Ticker:
        self._thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def calibrated(walk: Callable[[int], object], seconds: float) -> int:
    """The step count that makes walk(steps) last about `seconds`."""
    steps = 20_000
    while True:
        start = time.perf_counter()
        walk(steps)
        elapsed = time.perf_counter() - start
        if elapsed > 0.2:
            return int(steps * seconds / elapsed)
        steps *= 4


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    threads = engine.pool_thread_count()

    def sha3(steps: int) -> object:
        return engine.sha3_walk(SEED, PIXELS, 256, 256, steps, 1)

    def blake3(steps: int) -> object:
        return engine.blake3_walk(SEED, PIXELS, 256, 256, steps, 1, threads)

    sha3_steps = calibrated(sha3, args.seconds)
    blake3_steps = calibrated(blake3, args.seconds)
    hashed = bytes(int(600e6 * args.seconds))  # about the seconds asked at 600 MB/s
    cases: dict[str, Callable[[], object]] = {
        "hashlib.sha3_256 (floor)": lambda: hashlib.sha3_256(hashed).digest(),
        "engine SHA3 walk": lambda: sha3(sha3_steps),
        "engine BLAKE3 walk": lambda: blake3(blake3_steps),
        "_quorvex_core SHA3 walk": lambda: core.execute_multilayer_sha3(
            SEED, PIXELS, 256, 256, sha3_steps, 1),
        "_quorvex_core BLAKE3 walk": lambda: core.execute_multilayer_blake3(
            SEED, PIXELS, 256, 256, blake3_steps, 1),
    }
    shares: dict[str, list[float]] = {name: [] for name in cases}
    with Ticker() as ticker:
        for _ in range(args.rounds):
            free = ticker.rate_during(lambda: time.sleep(args.seconds / 2))
            for name, work in cases.items():
                shares[name].append(ticker.rate_during(work) / free)
    print(f"ticker: a thread waking every {TICK * 1e3:.0f} ms; share of its free rate kept "
          f"during each call (~{args.seconds:.0f} s; {args.rounds} rounds; BLAKE3 with "
          f"{threads} chunks)")
    floor = max(shares["hashlib.sha3_256 (floor)"])
    print(f"{'call':28} {'best':>6} {'median':>7} {'best / floor':>13}")
    for name, values in shares.items():
        best = max(values)
        print(f"{name:28} {best:6.0%} {statistics.median(values):7.0%} {best / floor:13.2f}")


if __name__ == "__main__":
    main()
