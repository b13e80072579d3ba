"""Pinning the BLAKE3 walk's thread count.

The native BLAKE3 walk splits every layer into one chunk per worker thread,
so its result depends on the thread count. The worker pool sizes itself
once, when the first BLAKE3 walk of the process starts, from
RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, the affinity mask and the control
group's CPU quota; after that its size cannot change. The host therefore
fixes the count before its first BLAKE3 walk: it asks the pool's own rule
(quorvex._thread_count, the same C++ code) what the pool would take, or
takes the caller's count, writes it to RAYON_NUM_THREADS so the pool cannot
decide otherwise, remembers it, and refuses a later request for another
count in the same process.
"""

from __future__ import annotations

import os
import threading

from . import _thread_count
from ._options import thread_count

_VARIABLE = "RAYON_NUM_THREADS"

_lock = threading.Lock()
_pinned: int | None = None  # guarded by _lock


class ThreadCountError(RuntimeError):
    """A BLAKE3 walk was asked for a thread count other than the one this
    process is already pinned to."""


def pin_thread_count(threads: int | None = None) -> int:
    """Fixes the BLAKE3 walk's thread count for this process and returns it.

    With ``threads`` None: the count already pinned, else the count the
    worker pool's own rule gives now (RAYON_NUM_THREADS, then
    RAYON_RS_NUM_CPUS, then the CPUs this thread may use within the control
    group's quota, at most 65535). Raises ThreadCountError if a different
    count is already pinned, TypeError for a count that is not an int and
    ValueError for one outside 1..65535.
    """
    global _pinned
    requested = thread_count(threads)
    with _lock:
        if _pinned is not None:
            if requested is not None and requested != _pinned:
                raise ThreadCountError(
                    f"this process already runs BLAKE3 walks with {_pinned} threads; "
                    f"{requested} threads need a new process (the worker pool's size is fixed)")
            return _pinned
        count = requested if requested is not None else _thread_count.pool_thread_count()
        os.environ[_VARIABLE] = str(count)
        _pinned = count
        return count


def pinned_thread_count() -> int | None:
    """The pinned thread count, or None before the first BLAKE3 walk."""
    return _pinned
