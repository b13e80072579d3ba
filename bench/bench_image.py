"""From image file to key, against Pillow's own decoding of the same file.

For a 12 MP and a 20 MP JPEG and a 4K PNG (made here: gradients under
noise, like a photograph's mix of smooth and busy areas), times, side by
side in rounds:
- the floor: Pillow's Image.open + load (+ convert when not RGB);
- quorvex.derive(path, ...) with default options;
- the earlier road, rebuilt from its parts: Pillow, tobytes(), hashlib's
  SHA3-256 and _quorvex_core with the interpreter lock held.
Then the peak RSS of a fresh process that derives the 20 MP JPEG's key,
against the image's packed RGB size.

Usage: python bench/bench_image.py [--rounds N] [--keep DIR]
"""
from __future__ import annotations

import argparse
import hashlib
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

from PIL import Image

import _quorvex_core as core
import quorvex

IMAGES = {
    "12 MP JPEG (4032x3024)": ((4032, 3024), "JPEG"),
    "20 MP JPEG (6028x3391)": ((6028, 3391), "JPEG"),
    "4K PNG (3840x2160)": ((3840, 2160), "PNG"),
}
NONCE = bytes(16)
TIMESTAMP = 1_700_000_000


def photograph_like(size: tuple[int, int]) -> Image.Image:
    width, height = size
    red = Image.linear_gradient("L").resize(size)
    green = Image.effect_noise(size, 48)
    blue = Image.radial_gradient("L").resize(size)
    image = Image.merge("RGB", (red, green, blue))
    detail = Image.effect_mandelbrot(size, (-2.0, -1.2, 1.0, 1.2), 64).convert("RGB")
    return Image.blend(image, detail, 0.35)


def make_images(directory: pathlib.Path) -> dict[str, pathlib.Path]:
    paths = {}
    for name, (size, fmt) in IMAGES.items():
        path = directory / f"{size[0]}x{size[1]}.{fmt.lower()}"
        if not path.exists():
            photograph_like(size).save(path, fmt, **({"quality": 90} if fmt == "JPEG" else {}))
        paths[name] = path
    return paths


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def pillow_decode(path: pathlib.Path) -> object:
    with Image.open(path) as image:
        image.load()
        return image if image.mode == "RGB" else image.convert("RGB")


def quorvex_derive(path: pathlib.Path) -> object:
    return quorvex.derive(path, nonce=NONCE, timestamp=TIMESTAMP)


def earlier_road(path: pathlib.Path) -> object:
    """The road before the engine: tobytes(), hashlib, the module."""
    with Image.open(path) as image:
        rgb = image if image.mode == "RGB" else image.convert("RGB")
        pixels = rgb.tobytes()
    digest = hashlib.sha3_256(pixels).digest()
    seed = bytes(core.generate_initial_seed(digest, NONCE, TIMESTAMP, quorvex.DEFAULT_VERSION))
    pool = core.execute_multilayer_sha3(seed, pixels, rgb.width, rgb.height,
                                        quorvex.DEFAULT_STEPS, quorvex.DEFAULT_LAYERS)
    return bytes(core.derive_key_hkdf(bytes(pool), NONCE, quorvex.DEFAULT_INFO, 32))


# A fresh process: derives the key of argv[1] by the road argv[2] names and
# prints its peak resident set in KiB (VmHWM: ru_maxrss would carry the
# parent's over the exec).
PEAK = """
import sys, pathlib
sys.path.insert(0, {bench!r})
import bench_image
road = {{"derive": bench_image.quorvex_derive, "earlier": bench_image.earlier_road,
        "pillow": bench_image.pillow_decode}}[sys.argv[2]]
road(pathlib.Path(sys.argv[1]))
print(next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:")))
"""


def peak_rss_kib(path: pathlib.Path, road: str) -> int:
    script = PEAK.format(bench=str(pathlib.Path(__file__).resolve().parent))
    out = subprocess.run([sys.executable, "-c", script, str(path), road], check=True,
                         capture_output=True, text=True).stdout
    return int(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--keep", type=pathlib.Path, help="directory to keep the images in")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        directory = args.keep or pathlib.Path(scratch)
        directory.mkdir(parents=True, exist_ok=True)
        paths = make_images(directory)
        roads: dict[str, Callable[[pathlib.Path], object]] = {
            "pillow": pillow_decode, "derive": quorvex_derive, "earlier": earlier_road}
        print(f"wall time, best and median of {args.rounds} rounds, ms; ratio = best / Pillow's "
              f"best; cpu = the process's CPU time of the best round; calling thread cpu = the "
              f"least CPU time of the calling thread (derive hashes large images' rows on a "
              f"second thread: with a CPU free for it, the wall time follows the calling "
              f"thread; on a busy host the two share what CPU there is)")
        print(f"{'image':24} {'Pillow':>15} {'quorvex.derive':>15} {'ratio':>6} "
              f"{'earlier road':>15} {'ratio':>6}")
        for name, path in paths.items():
            times: dict[str, list[float]] = {road: [] for road in roads}
            cpu: dict[str, float] = {}
            own: dict[str, float] = {road: float("inf") for road in roads}
            for _ in range(args.rounds):
                for road, run in roads.items():
                    cpu_start, start = cpu_seconds(), time.perf_counter()
                    own_start = time.thread_time()
                    run(path)
                    elapsed = time.perf_counter() - start
                    own[road] = min(own[road], time.thread_time() - own_start)
                    if elapsed < min(times[road], default=float("inf")):
                        cpu[road] = cpu_seconds() - cpu_start
                    times[road].append(elapsed)
            best = {road: min(values) for road, values in times.items()}
            cell = {road: f"{best[road] * 1e3:6.0f} /{statistics.median(values) * 1e3:6.0f}"
                    for road, values in times.items()}
            print(f"{name:24} {cell['pillow']:>15} {cell['derive']:>15} "
                  f"{best['derive'] / best['pillow']:6.2f} {cell['earlier']:>15} "
                  f"{best['earlier'] / best['pillow']:6.2f}")
            print(f"{'  cpu ms':24} {cpu['pillow'] * 1e3:15.0f} {cpu['derive'] * 1e3:15.0f} "
                  f"{'':6} {cpu['earlier'] * 1e3:15.0f}")
            print(f"{'  calling thread cpu ms':24} {own['pillow'] * 1e3:15.0f} "
                  f"{own['derive'] * 1e3:15.0f} {own['derive'] / own['pillow']:6.2f} "
                  f"{own['earlier'] * 1e3:15.0f} {own['earlier'] / own['pillow']:6.2f}")
        jpeg = paths["20 MP JPEG (6028x3391)"]
        packed = 6028 * 3391 * 3
        print(f"\npeak RSS of a fresh process, 20 MP JPEG ({packed / 2**20:.0f} MiB packed RGB):")
        for road in ("pillow", "derive", "earlier"):
            peak = peak_rss_kib(jpeg, road) * 1024
            print(f"  {road:8} {peak / 2**20:6.0f} MiB  {peak / packed:5.2f} x packed")


if __name__ == "__main__":
    main()
