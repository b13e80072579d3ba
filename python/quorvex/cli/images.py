"""Images named on the command line or in records: opened safely (never
waiting on a FIFO or device), their warnings routed to the job that loads
them, their failures worded as one line."""

from __future__ import annotations

import errno
import io
import os
import stat
import sys
import threading
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any

from PIL import Image, UnidentifiedImageError

from .. import _host, _image
from .streams import SAMPLE_LABEL, STDIN

# A BLAKE3 walk whose worker pool cannot start its threads: that record or
# image fails on its own, and the others are still done.
UNSERVED_THREADS: tuple[type[BaseException], ...] = (_host.WorkerPoolError,)

# Warnings about the image itself, shown as one line naming the image.
_IMAGE_WARNINGS = (_image.DroppedInputWarning, Image.DecompressionBombWarning)


class Source:
    """An image named on the command line or in a record: a file, standard
    input (-) or the sample image (None)."""

    def __init__(self, name: str | None, stdin_image: Callable[[], bytes]) -> None:
        self.name = name
        self._stdin_image = stdin_image

    @property
    def label(self) -> str:
        return SAMPLE_LABEL if self.name is None else self.name

    @contextmanager
    def opened(self) -> Iterator[_image.ImageSource]:
        """The image as a derivation takes it: an open file is decoded the
        quick way, into memory of our own and hashed beside the decode."""
        if self.name is None:
            yield _image.sample_image()
        elif self.name == STDIN:
            yield io.BytesIO(self._stdin_image())
        else:
            with open_regular_file(self.name) as file:
                yield file


class StandardInputImage:
    """Standard input's bytes, read once, by the first job that needs them
    (so that the keys before it are out while it waits)."""

    def __init__(self) -> None:
        self._data: bytes | None = None
        self._lock = threading.Lock()

    def __call__(self) -> bytes:
        with self._lock:
            if self._data is None:
                self._data = sys.stdin.buffer.read()
            return self._data


_FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
               (stat.S_ISSOCK, "a socket"))


def _not_regular(mode: int) -> OSError | None:
    if stat.S_ISREG(mode):
        return None
    kind = next((name for test, name in _FILE_KINDS if test(mode)), "not a file")
    return OSError(errno.EINVAL, f"{kind}, not a regular file")


def open_regular_file(name: str) -> IO[bytes]:
    """Opens a regular file for reading. A FIFO, device or directory is
    refused, never waited on: looked at before opening, opened without
    blocking (it may have been swapped meanwhile) and looked at again."""
    refused = _not_regular(os.stat(name).st_mode)
    if refused is not None:
        raise refused
    descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        refused = _not_regular(os.fstat(descriptor).st_mode)
        if refused is not None:
            raise refused
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def unreadable(label: str, error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"{label!r}: out of memory"
    return f"cannot read image {label!r}: {reason(error)}"


def reason(error: BaseException) -> str:
    # The file name is already in the message; strerror is the reason alone.
    # Pillow names a file object by its repr: say what it means instead.
    if isinstance(error, UnidentifiedImageError):
        return "not an image in a format Pillow reads"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def unserved(label: str, error: BaseException) -> str:
    if type(error).__name__ == "WorkerPoolError":
        return f"{label}: the worker pool cannot start its threads: {error}"
    return f"{label}: {error}"


# Each job thread collects the warnings about its image here.
_warning_sink = threading.local()


@contextmanager
def image_warnings_routed() -> Iterator[None]:
    """Warnings about an image (dropped alpha or frames, a very large
    image) go to the outcome of the job that loads it, every time; others
    as the warning filters say. The filters are set once, before any job
    thread: warnings.catch_warnings is not safe across threads."""
    with warnings.catch_warnings():
        for category in _IMAGE_WARNINGS:
            warnings.simplefilter("always", category)
        shown = warnings.showwarning

        def route(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: Any = None, line: str | None = None) -> None:
            sink = getattr(_warning_sink, "messages", None)
            if sink is not None and issubclass(category, _IMAGE_WARNINGS):
                sink.append(f"{_warning_sink.label}: {message}")
            else:
                shown(message, category, filename, lineno, file, line)

        warnings.showwarning = route
        yield


@contextmanager
def warnings_into(messages: list[str], label: str) -> Iterator[None]:
    _warning_sink.messages = messages
    _warning_sink.label = label
    try:
        yield
    finally:
        _warning_sink.messages = None
