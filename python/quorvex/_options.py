"""The choices, limits and defaults of a derivation, and the checks that
apply them.

derive(), Derivation.from_json() and the command line all take their options
through check_options(), so a value one of them accepts the others accept
too, and a value they refuse is refused with the same message.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Buffer, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import Literal, SupportsIndex, TypeVar

from . import _engine

Walk = Literal["sha3", "blake3"]
Kdf = Literal["hkdf", "blake3"]

WALKS: tuple[Walk, ...] = ("sha3", "blake3")
KDFS: tuple[Kdf, ...] = ("hkdf", "blake3")
KEY_SIZES = (16, 32, 64)

U64_MAX = 2**64 - 1
# The worker pool's cap, taken from the constant the pool itself applies.
MAX_THREADS: int = _engine.MAX_THREAD_COUNT
# The SHA3 walk refuses step counts whose steps x 32 bytes exceed 2**63 - 1
# (its "capacity overflow"); the host refuses them before any work.
MAX_SHA3_STEPS = (2**63 - 1) // 32

DEFAULT_VERSION = "quorvex-v2"
DEFAULT_WALK: Walk = "sha3"
DEFAULT_KDF: Kdf = "hkdf"
DEFAULT_STEPS = 2048
DEFAULT_LAYERS = 3
DEFAULT_INFO = b"quorvex-lintav-v2"
DEFAULT_CONTEXT = "quorvex-lin-tav-v1.0"
DEFAULT_KEY_SIZE = 32

# Every option but nonce and timestamp, as a derivation takes it when it is
# not given (threads None: the worker pool's own count, decided later).
DEFAULTS: Mapping[str, object] = MappingProxyType({
    "version": DEFAULT_VERSION, "walk": DEFAULT_WALK, "kdf": DEFAULT_KDF,
    "steps": DEFAULT_STEPS, "layers": DEFAULT_LAYERS, "info": DEFAULT_INFO,
    "context": DEFAULT_CONTEXT, "key_size": DEFAULT_KEY_SIZE, "threads": None})


def usable_cpu_count() -> int:
    """The CPUs this process may run on (its affinity mask), at least 1: how
    many images the command line and derive_many work on at once."""
    counter = getattr(os, "process_cpu_count", None)  # Python 3.13
    count = counter() if counter is not None else len(os.sched_getaffinity(0))
    return max(1, count or 1)


class OptionError(ValueError):
    """An option value outside what a derivation accepts. ``option`` names
    the parameter, ``requirement`` says what it must be."""

    def __init__(self, option: str, requirement: str) -> None:
        super().__init__(f"{option} {requirement}")
        self.option = option
        self.requirement = requirement

    def __reduce__(self) -> tuple[type[OptionError], tuple[str, str]]:
        # An error raised in a worker process reaches the caller by pickle.
        return OptionError, (self.option, self.requirement)


@dataclass(frozen=True, kw_only=True)
class Options:
    """Checked options of one derivation: everything but the image."""

    nonce: bytes
    timestamp: int
    version: str
    walk: Walk
    kdf: Kdf
    steps: int
    layers: int
    info: bytes
    context: str
    key_size: int
    threads: int | None


def check_options(*, nonce: object, timestamp: object, version: object, walk: object,
                  kdf: object, steps: object, layers: object, info: object, context: object,
                  key_size: object, threads: object) -> Options:
    """Options from values of any type. Raises TypeError for a value of the
    wrong type and OptionError (a ValueError) for one out of range.

    A step or layer count of 0 is refused: the walk would not read the image
    at all, and every image would give the same key. So is an empty nonce,
    which would make every key of an image at a timestamp the same.
    """
    checked_walk = choice("walk", walk, WALKS)
    max_steps = MAX_SHA3_STEPS if checked_walk == "sha3" else U64_MAX
    return Options(
        nonce=byte_string("nonce", nonce, allow_empty=False),
        timestamp=whole_number("timestamp", timestamp, 0, U64_MAX),
        version=text("version", version),
        walk=checked_walk,
        kdf=choice("kdf", kdf, KDFS),
        steps=whole_number("steps", steps, 1, max_steps,
                           " for the SHA3 walk" if checked_walk == "sha3" else ""),
        layers=whole_number("layers", layers, 1, U64_MAX),
        info=byte_string("info", info),
        context=text("context", context),
        key_size=key_size_of(key_size),
        threads=thread_count(threads),
    )


def integer(option: str, value: object) -> int:
    """An int, or anything with __index__ (numpy's integers, say), but not a
    bool."""
    if isinstance(value, bool) or not isinstance(value, SupportsIndex):
        raise TypeError(f"{option} must be an int, not {type(value).__name__}")
    return operator.index(value)


def whole_number(option: str, value: object, low: int, high: int, scope: str = "") -> int:
    """An integer from low to high."""
    number = integer(option, value)
    if not low <= number <= high:
        bound = "2**64 - 1" if high == U64_MAX else str(high)
        raise OptionError(option, f"must be {low} to {bound}{scope}, not {number}")
    return number


def thread_count(value: object) -> int | None:
    """None (the default: the module's pool size rule) or a count of 1 to
    MAX_THREADS."""
    return None if value is None else whole_number("threads", value, 1, MAX_THREADS)


def key_size_of(value: object) -> int:
    size = integer("key_size", value)
    if size not in KEY_SIZES:
        raise OptionError("key_size", f"must be {_alternatives(KEY_SIZES)}, not {size}")
    return size


def byte_string(option: str, value: object, *, allow_empty: bool = True) -> bytes:
    """bytes from any bytes-like object (bytes, bytearray, memoryview, ...),
    copied once."""
    if not isinstance(value, Buffer):
        raise TypeError(f"{option} must be bytes-like (bytes, bytearray, memoryview), "
                        f"not {type(value).__name__}")
    data = value if type(value) is bytes else memoryview(value).tobytes()
    if not data and not allow_empty:
        raise OptionError(option, "must not be empty")
    return data


def text(option: str, value: object) -> str:
    """A str that has a UTF-8 form (no lone surrogates)."""
    if not isinstance(value, str):
        raise TypeError(f"{option} must be a str, not {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise OptionError(option, "must be text with a UTF-8 form (it holds a lone surrogate)") \
            from None
    return value


Choice = TypeVar("Choice", bound=str)


def choice(option: str, value: object, choices: tuple[Choice, ...]) -> Choice:
    if not isinstance(value, str):
        raise TypeError(f"{option} must be a str, not {type(value).__name__}")
    for candidate in choices:
        if value == candidate:
            return candidate
    raise OptionError(option, f"must be {_alternatives(tuple(map(repr, choices)))}, not {value!r}")


def _alternatives(items: tuple[object, ...]) -> str:
    """'a, b or c'."""
    *first, last = map(str, items)
    return f"{', '.join(first)} or {last}" if first else last
