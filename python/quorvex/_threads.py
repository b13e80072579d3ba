"""Pinning the BLAKE3 walk's thread count.

The native BLAKE3 walk splits every layer into one chunk per worker thread,
so its result depends on the thread count. The worker pool reads
RAYON_NUM_THREADS once, when the first BLAKE3 walk of the process starts;
after that its size cannot change. The host therefore sets that variable
itself before its first BLAKE3 walk, remembers the value, and refuses a later
request for a different count in the same process.
"""

from __future__ import annotations

import os
import re
import threading

_VARIABLE = "RAYON_NUM_THREADS"
_DECIMAL = re.compile(r"\+?[0-9]+")
_MAX_THREADS = 65535

_lock = threading.Lock()
_pinned: int | None = None


class ThreadCountError(RuntimeError):
    """A BLAKE3 walk was asked for a thread count other than the one this
    process is already pinned to."""


def _from_environment() -> int | None:
    value = os.environ.get(_VARIABLE)
    if value is None or not _DECIMAL.fullmatch(value):
        return None
    count = int(value)
    return count if 1 <= count else None


def default_thread_count() -> int:
    """The CPUs this process may run on."""
    return min(len(os.sched_getaffinity(0)), _MAX_THREADS)


def pin_thread_count(threads: int | None = None) -> int:
    """Fixes the BLAKE3 walk's thread count for this process and returns it.

    With ``threads`` None: the count already pinned, else a valid
    RAYON_NUM_THREADS already in the environment, else the CPUs this process
    may use. Raises ThreadCountError if a different count is already pinned,
    and ValueError for a count outside 1..65535.
    """
    global _pinned
    if threads is not None and not 1 <= threads <= _MAX_THREADS:
        raise ValueError(f"thread count must be 1 to {_MAX_THREADS}, not {threads}")
    with _lock:
        if _pinned is not None:
            if threads is not None and threads != _pinned:
                raise ThreadCountError(
                    f"this process already runs BLAKE3 walks with {_pinned} threads; "
                    f"{threads} threads need a new process (the worker pool's size is fixed)")
            return _pinned
        if threads is None:
            threads = _from_environment() or default_thread_count()
        os.environ[_VARIABLE] = str(threads)
        _pinned = threads
        return threads


def pinned_thread_count() -> int | None:
    """The pinned thread count, or None before the first BLAKE3 walk."""
    return _pinned
