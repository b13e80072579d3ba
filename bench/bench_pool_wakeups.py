"""A small BLAKE3 walk on _quorvex_core's pool of 2, 33 and 2,000 threads.

The module's pool has as many OS threads as its thread count, however few
CPUs there are; a job should cost what its chunks cost, not what waking
every idle thread costs. Each count runs in its own process (the pool is
sized once per process, from RAYON_NUM_THREADS); the floor is the same walk
on a pool of 2 threads, measured in the same run.

Usage: python bench/bench_pool_wakeups.py [--rounds N] [--counts 2,33,2000] [--steps N]
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import textwrap

# One process per thread count: builds the pool, warms it, then times the
# walk call by call and prints every time in seconds.
MEASURE = textwrap.dedent("""
    import sys, time, _quorvex_core as q
    rounds, steps = int(sys.argv[1]), int(sys.argv[2])
    seed, pixels = bytes(64), bytes(range(256)) * 12  # 32 x 32 RGB
    walk = lambda: q.execute_multilayer_blake3(seed, pixels, 32, 32, steps, 3)
    for _ in range(5):
        walk()
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        walk()
        times.append(time.perf_counter() - start)
    print(" ".join(repr(t) for t in times))
""")


def timings(threads: int, rounds: int, steps: int) -> list[float]:
    env = {name: value for name, value in os.environ.items() if not name.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", MEASURE, str(rounds), str(steps)], env=env,
                         check=True,
                         capture_output=True, text=True, timeout=600).stdout
    return sorted(float(t) for t in out.split())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--counts", default="2,33,2000")
    parser.add_argument("--steps", type=int, default=2048, help="steps a layer (2048: the default)")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    results = {count: timings(count, args.rounds, args.steps) for count in counts}
    floor = results[counts[0]][0]
    print(f"3-layer walk of 32x32 pixels, {args.steps} steps a layer; {args.rounds} calls per count")
    print(f"{'threads':>8} {'best ms':>9} {'median ms':>10} {'best / best at ' + str(counts[0]):>20}")
    for count, times in results.items():
        best, median = times[0], times[len(times) // 2]
        print(f"{count:>8} {best * 1e3:9.3f} {median * 1e3:10.3f} {best / floor:20.2f}")


if __name__ == "__main__":
    main()
