"""Images and records worked on at once, on up to -j threads, their outcomes
written in argument or record order."""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field

from _quorvex_cli import interrupts

from .streams import say

@dataclass
class Outcome:
    """What one image or record gives: its output and its messages, written
    in argument or record order whatever order the jobs finish in."""

    verdict: str  # "ok", "mismatch", "unreadable", "unchecked", "missing", "malformed"
    output: bytes = b""
    errors: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)


class Jobs:
    """Runs tasks on up to `count` threads and hands their outcomes to
    `emit` in the order they were added. At most `count` tasks run at once,
    so at most `count` images are decoded at once; a few more wait, queued
    as names. With one job the tasks run on the calling (main) thread,
    where a Ctrl-C stops even a walk that holds the interpreter."""

    def __init__(self, count: int, emit: Callable[[Outcome], None]) -> None:
        self._emit = emit
        self._window = 2 * count
        self._queue: deque[Future[Outcome]] = deque()
        self._executor = (ThreadPoolExecutor(count, thread_name_prefix="quorvex-job")
                          if count > 1 else None)

    def add(self, task: Callable[[], Outcome]) -> None:
        if self._executor is None:
            self.add_outcome(task())
            return
        self._queue.append(self._executor.submit(task))
        self._drain()

    def add_outcome(self, outcome: Outcome) -> None:
        if self._executor is None:
            self._emit(outcome)
            interrupts.check()
            return
        done: Future[Outcome] = Future()
        done.set_result(outcome)
        self._queue.append(done)
        self._drain()

    def finish(self) -> None:
        while self._queue:
            self._emit_oldest()
        if self._executor is not None:
            self._executor.shutdown()

    def abandon(self) -> None:
        """Drops what has not started; what runs is left to the process exit."""
        if self._executor is not None:
            self._executor.shutdown(wait=False, cancel_futures=True)

    def _drain(self) -> None:
        # What is done at the head goes out now; a full window waits for
        # its oldest.
        while self._queue and (len(self._queue) >= self._window or self._queue[0].done()):
            self._emit_oldest()

    def _emit_oldest(self) -> None:
        outcome = self._queue.popleft().result()  # a Ctrl-C interrupts the wait
        self._emit(outcome)
        interrupts.check()


@contextmanager
def running(jobs: Jobs) -> Iterator[Jobs]:
    try:
        yield jobs
        jobs.finish()
    except BaseException:
        jobs.abandon()
        raise


def emit_messages(outcome: Outcome, *, show_warnings: bool) -> None:
    if show_warnings:
        for message in outcome.warnings:
            say(f"warning: {message}")
    for message in outcome.errors:
        say(f"error: {message}")
