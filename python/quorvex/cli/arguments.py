"""What the commands share in their arguments: number and hex types, the
-j and -z options, --version, the CPUs the jobs default to."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from importlib import metadata
from typing import Any

from .. import _engine
from .._options import usable_cpu_count
from .streams import EXIT_OK

# What shtab completes a file name with (shtab.FILE), set without importing
# shtab until a completion script is asked for.
FILE_COMPLETION = {"bash": "_shtab_compgen_files", "zsh": "_files"}


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version of quorvex and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"quorvex {package_version()}")
        parser.exit(EXIT_OK)


def package_version() -> str:
    """The version of the installed quorvex package."""
    version = getattr(sys.modules["quorvex"], "__version__", None)
    if isinstance(version, str):
        return version
    for distribution in metadata.packages_distributions().get("quorvex", []):
        return metadata.version(distribution)
    return "unknown"


def hex_bytes(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not hexadecimal bytes: {text!r}") from None


def decimal(text: str) -> int:
    # The pool's own rule for numbers: digits with an optional '+', nothing
    # else (int() would also take spaces, '_' and non-ASCII digits).
    value = _engine.parse_decimal_u64(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"not a whole number of 0 to 2**64 - 1: {text!r}")
    return value


def positive(text: str) -> int:
    value = decimal(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def default_jobs() -> int:
    """-j when it is not given: the usable CPUs (derivations release the
    interpreter, so jobs on threads run side by side)."""
    return usable_cpu_count()


def add_jobs_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("-j", "--jobs", type=positive, metavar="N",
                        help=f"{what} at most N images at once (default: the CPUs this "
                             "process may use)")


def add_zero_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-z", "--zero", action="store_true",
                        help="end each output line with NUL, not newline, and do not escape "
                             "file names")
