"""`quorvex key` over 8 images with -j 2 against -j 1 (and `quorvex check`
of their records), best and median of a few runs each; prints the ratio
against the target of 0.55 on 2 CPUs.

    python bench/bench_jobs.py [--size 4000x3000] [--runs 3]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

TARGET_RATIO = 0.55
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


def timed(command, runs):
    seconds = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        seconds.append(time.perf_counter() - start)
    return min(seconds), statistics.median(seconds)


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
            ratio = two[0] / one[0]
            verdict = "meets" if ratio <= TARGET_RATIO else "misses"
            print(f"{name:5}  -j 1: {one[0]:.3f} s / {one[1]:.3f} s   -j 2: {two[0]:.3f} s / "
                  f"{two[1]:.3f} s   ratio {ratio:.2f} ({verdict} the target {TARGET_RATIO})")


if __name__ == "__main__":
    main()
