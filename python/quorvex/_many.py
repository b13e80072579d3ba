"""Many images, or many records, on any concurrent.futures executor: the
threads of this process, a process pool, or a Dask cluster's executor.

Results come back in input order. Only a window of derivations is in flight
at once: the input is read lazily, so a collection larger than memory (a
generator of paths, say) streams through with bounded memory, and a result
the caller has not reached yet holds at most ``window`` images' work.

Work sent to another process goes by pickle: the task functions live at
module level and take the checked options, never a closure, so they reach a
process pool's or a Dask worker's interpreter by reference.
"""

from __future__ import annotations

import json
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, TypeVar, Unpack, cast

from ._host import Derivation, DeriveOptions, KeyMismatchError, derive_checked, recorded_image
from ._image import ImageSource, load_for_derivation, sample_image
from ._options import DEFAULTS, Options, check_options, usable_cpu_count, whole_number

# What a record's check may end with besides a match: the key differs, the
# image cannot be read, or the record (or the image given for it) is not one
# that can be checked. Anything else (a worker that died, memory exhausted)
# is not the record's fault and ends the whole run.
CHECK_FAILURES = (KeyMismatchError, OSError, ValueError)

Result = TypeVar("Result")


class _SampleImage:
    """Stands for the sample image in a record whose ``image`` is null; it is
    loaded where the check runs."""


@dataclass(frozen=True)
class CheckResult:
    """The outcome of one record of check_many(): ``error`` is None when the
    image gives the recorded key, else the exception that says why not
    (KeyMismatchError, OSError for an image that cannot be read, ValueError
    for a malformed record). ``image`` is the record's image entry (a file
    name, or None for the sample image) or the image given for it when that
    is a path; None otherwise. ``record`` is the record as read, or None when
    it could not be read."""

    record: Derivation | None
    image: str | None
    error: Exception | None

    @property
    def ok(self) -> bool:
        """Whether the image gives the recorded key."""
        return self.error is None


def derive_many(images: Iterable[ImageSource], *, executor: Executor | None = None,
                window: int | None = None, **options: Unpack[DeriveOptions]) -> Iterator[Derivation]:
    """Derives a key from each image with the same options and yields the
    Derivations in input order.

    ``options`` are derive()'s keywords, checked here, before any work.
    ``executor`` is any concurrent.futures.Executor: None uses a pool of
    threads of this process (one per CPU it may use), a ProcessPoolExecutor
    spreads the work over processes, and a Dask client's executor
    (``client.get_executor()``) over a cluster. Images sent to another process
    must pickle: give paths (read where the task runs), Pillow images,
    RgbImages or raw bytes, not open files. At most ``window`` images
    (default: twice the CPUs this process may use) are in flight at once;
    raise it to keep a large cluster busy.

    An image that fails raises its exception when its turn comes (OSError
    for an unreadable file); the derivations still pending are cancelled.
    """
    width, height = options.pop("width", None), options.pop("height", None)
    checked = _checked(options)
    return _in_order(executor, _window(window), _derive_one,
                     ((image, checked, width, height) for image in images))


def check_many(records: Iterable[Derivation | Mapping[str, Any] | str],
               images: Iterable[ImageSource] | None = None, *, executor: Executor | None = None,
               window: int | None = None) -> Iterator[CheckResult]:
    """Checks each record against its image and yields a CheckResult per
    record, in input order; a record that fails does not stop the others.

    A record is a Derivation, a record mapping or its JSON text (a line of
    ``quorvex key --json`` output; blank lines are skipped, so an open file
    of records works as it is). ``images`` gives one image per record, in
    order; without it each record's ``image`` entry is used, as ``quorvex
    check`` does: a file name (opened where the check runs, so a cluster's
    workers must see the same files) or null for the sample image.
    ``executor`` and ``window`` are as in derive_many().
    """
    pairs = _record_pairs(records, images)
    return _in_order(executor, _window(window), _check_one, pairs)


def _derive_one(image: ImageSource, options: Options, width: int | None,
                height: int | None) -> Derivation:
    return derive_checked(load_for_derivation(image, width, height), options)


def _check_one(record: Derivation | None, image: ImageSource | _SampleImage | None,
               unreadable: Exception | None) -> CheckResult:
    label = os.fspath(image) if isinstance(image, (str, os.PathLike)) else None
    if record is None or unreadable is not None:
        return CheckResult(record, label, unreadable)
    try:
        # A None among the caller's images reaches load_image, which refuses it.
        record.verify(sample_image() if isinstance(image, _SampleImage)
                      else cast(ImageSource, image))
    except CHECK_FAILURES as failure:
        return CheckResult(record, label, failure)
    return CheckResult(record, label, None)


CheckTask = tuple[Derivation | None, ImageSource | _SampleImage | None, Exception | None]


def _record_pairs(records: Iterable[Derivation | Mapping[str, Any] | str],
                  images: Iterable[ImageSource] | None) -> Iterator[CheckTask]:
    """(record, its image, why it cannot be checked) for each record."""
    given = iter(images) if images is not None else None
    for entry in records:
        if isinstance(entry, str) and not entry.strip():
            continue
        record: Derivation | None = None
        try:
            record = entry if isinstance(entry, Derivation) else Derivation.from_json(entry)
            image = _recorded_image(entry) if given is None else _next_image(given)
        except ValueError as error:
            yield record, None, error
            continue
        yield record, image, None


def _next_image(images: Iterator[ImageSource]) -> ImageSource:
    try:
        return next(images)
    except StopIteration:
        raise ValueError("there are fewer images than records") from None


def _recorded_image(entry: Derivation | Mapping[str, Any] | str) -> str | _SampleImage:
    """The image a record names: its file name, or the sample image for null."""
    if isinstance(entry, Derivation):
        raise ValueError("a Derivation names no image: give the images")
    name = recorded_image(json.loads(entry) if isinstance(entry, str) else entry,
                          standard_input=False)
    return _SampleImage() if name is None else name


def _in_order(executor: Executor | None, window: int,
              task: Callable[..., Result], arguments: Iterator[tuple[Any, ...]]) -> Iterator[Result]:
    """Runs task(*each) on the executor, at most ``window`` at a time, and
    yields the results in order. Pending work is cancelled when the caller
    stops early or a result raises; a pool made here is shut down."""
    own = executor is None
    pool = ThreadPoolExecutor(max_workers=usable_cpu_count()) if executor is None else executor
    pending: deque[Future[Result]] = deque()
    try:
        for each in arguments:
            pending.append(pool.submit(task, *each))
            if len(pending) >= window:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()
        if own:
            pool.shutdown(wait=True, cancel_futures=True)


def _checked(options: DeriveOptions) -> Options:
    unknown = sorted(set(options) - set(DeriveOptions.__annotations__))
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r}")
    if "nonce" not in options or "timestamp" not in options:
        raise TypeError("nonce and timestamp are required")
    return check_options(**{**DEFAULTS, **options})


def _window(window: int | None) -> int:
    return 2 * usable_cpu_count() if window is None else whole_number("window", window, 1, 2**31)

