"""``quorvex calibrate``: the walk steps for a target time on this machine."""

from __future__ import annotations

import argparse
import functools
import os
import time
from collections.abc import Callable
from typing import Any

from _quorvex_cli import interrupts

from .. import _host, _image, _options
from .arguments import VersionAction, positive
from .streams import EXIT_OK, EXIT_STATUS_HELP, say

def add_command(commands: Any) -> None:
    calibrate = commands.add_parser(
        "calibrate", help="find the walk steps for a target time on this machine",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Measure this machine and print, for each walk, the options whose key "
                    "takes about --target-ms milliseconds to derive. The walk is what "
                    "makes guessing the image expensive for someone who holds a record: "
                    "choose the longest time your users accept, as with the cost "
                    "parameters of argon2 or scrypt, and measure on the slowest machine "
                    "that must derive the key.")
    calibrate.add_argument("--target-ms", type=positive, default=1000, metavar="MS",
                           help="the time one key should take, in milliseconds "
                                "(default: %(default)s)")
    calibrate.add_argument("--layers", type=positive, default=_options.DEFAULT_LAYERS,
                           help="walk layers (default: %(default)s)")
    calibrate.add_argument("--walk", choices=_options.WALKS, action="append",
                           help="measure this walk only (may be repeated; default: both)")
    calibrate.add_argument("-V", "--version", action=VersionAction)
    calibrate.set_defaults(run=run, parser=calibrate)


# The calibration image: random pixels, large enough that the walk's pixel
# reads miss the caches as they do in a photo.
_CALIBRATION_SIZE = (2048, 1536)

# The shortest measurement an estimate is made from: timer noise and
# start-up costs are small against it.
_SHORTEST_MEASUREMENT = 0.05


def calibrated_steps(seconds_for: Callable[[int], float], target_seconds: float) -> int:
    """The steps per layer that make `seconds_for(steps)` (one derivation)
    about `target_seconds`: doubles the steps from 1 until one run lasts
    long enough to time, then scales to the target and measures once more
    there to correct for what does not grow with the steps."""
    steps = 1
    elapsed = seconds_for(steps)
    floor = min(_SHORTEST_MEASUREMENT, target_seconds / 4)
    while elapsed < floor:
        steps *= 2
        elapsed = seconds_for(steps)
    estimate = max(1, round(steps * target_seconds / elapsed))
    elapsed = seconds_for(estimate)
    return max(1, round(estimate * target_seconds / elapsed))


def run(args: argparse.Namespace) -> int:
    target = args.target_ms / 1000
    width, height = _CALIBRATION_SIZE
    rgb = _image.RgbImage(os.urandom(width * height * 3), width, height)
    advice = []
    for walk in args.walk or _options.WALKS:
        derivation_seconds = functools.partial(_derivation_seconds, rgb, walk, args.layers)
        # What does not grow with the steps (hashing the image, the seed,
        # the final key) is measured once and left out: the steps buy the
        # walk's time.
        fixed = derivation_seconds(1)

        def walk_seconds(steps: int) -> float:
            return max(derivation_seconds(steps) - fixed, 1e-6)

        steps = calibrated_steps(walk_seconds, target)
        advice.append(f"--walk {walk} --layers {args.layers} --steps {steps}")
    say(f"steps for about {args.target_ms} ms of walk per key on this machine (loading and "
         "hashing the image come on top):")
    for line in advice:
        print(line, flush=True)
    return EXIT_OK


def _derivation_seconds(rgb: _image.RgbImage, walk: str, layers: int, steps: int) -> float:
    """The best of two timed derivations of `rgb` (a busy machine's noise
    only ever adds time)."""
    options = _options.check_options(**{**_options.DEFAULTS, "nonce": bytes(16), "timestamp": 0,
                                        "walk": walk, "steps": steps, "layers": layers})
    best = float("inf")
    for _ in range(2):
        start = time.perf_counter()
        _host.derive_checked(rgb, options)
        best = min(best, time.perf_counter() - start)
        interrupts.check()
    return best
