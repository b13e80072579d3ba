"""`quorvex key` over 8 images with -j 2 against -j 1 (and `quorvex check`
of their records), best and median of a few runs each, with the CPU time
each run used. One derivation already keeps two CPUs busy (the decoder on
one, the row hashing on the other), so -j N cannot beat the CPU time over
the usable CPUs: that bound is printed beside -j 2.

    python bench/bench_jobs.py [--size 4000x3000] [--runs 3]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

IMAGES = 8


def make_images(directory, width, height):
    """JPEGs of smooth noise: decoding costs what a photo's does."""
    from PIL import Image

    paths = []
    for index in range(IMAGES):
        noise = Image.effect_noise((width // 8, height // 8), 40 + index)
        image = Image.merge("RGB", [noise, noise.rotate(90 * (index % 2)), noise])
        image = image.resize((width, height), Image.Resampling.BICUBIC)
        paths.append(os.path.join(directory, f"{index}.jpg"))
        image.save(paths[-1], quality=92)
    return paths


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, runs):
    """Best and median wall time, and the median CPU time, of `runs` runs."""
    seconds, cpu = [], []
    for _ in range(runs):
        cpu_before = children_cpu_seconds()
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        seconds.append(time.perf_counter() - start)
        cpu.append(children_cpu_seconds() - cpu_before)
    return min(seconds), statistics.median(seconds), statistics.median(cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="4000x3000")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    width, height = map(int, args.size.split("x"))
    quorvex = [sys.executable, "-m", "quorvex"]
    cpus = len(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as directory:
        images = make_images(directory, width, height)
        records = os.path.join(directory, "records.jsonl")
        with open(records, "wb") as file:
            subprocess.run([*quorvex, "key", "--json", "--nonce", "01", "--timestamp", "1",
                            *images], check=True, stdout=file)
        print(f"{IMAGES} JPEGs of {width}x{height}, {cpus} usable CPUs, best/median of "
              f"{args.runs}")
        for name, command in [
            ("key", [*quorvex, "key", "--nonce", "01", "--timestamp", "1", *images]),
            ("check", [*quorvex, "check", records]),
        ]:
            one = timed([*command, "-j", "1"], args.runs)
            two = timed([*command, "-j", "2"], args.runs)
            bound = two[2] / min(cpus, 2)
            print(f"{name:5}  -j 1: {one[0]:.3f} s / {one[1]:.3f} s (CPU {one[2]:.3f} s)   "
                  f"-j 2: {two[0]:.3f} s / {two[1]:.3f} s (CPU {two[2]:.3f} s)   "
                  f"-j 2 / -j 1 {two[0] / one[0]:.2f}   -j 2 / its CPU bound "
                  f"{two[0] / bound:.2f}")


if __name__ == "__main__":
    main()
