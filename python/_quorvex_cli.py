"""The entry point of the ``quorvex`` command: it takes charge of Ctrl-C
before anything else is imported, then runs quorvex.cli.

A top-level module, not part of the quorvex package, because importing
anything from the package first imports the package itself (Pillow, the
native core, ...), a window in which the interpreter's default SIGINT
handler would end the command with a traceback. Only the standard library's
os, signal and sys (and what signal itself imports) come before the handler.

What CPython does with a Ctrl-C, and why this module does more:
- The signal only sets a flag; the interpreter runs the Python handler at
  the next check (between bytecodes, or when native code calls
  PyErr_CheckSignals), and the handler's KeyboardInterrupt is raised there.
- That check may first run a scheduled garbage collection. When a finalizer
  or a weakref callback is running at that moment, the handler runs inside
  it; the KeyboardInterrupt is printed as "Exception ignored" and dropped,
  and the native walk that asked goes on to its end.
- At shutdown the interpreter puts the default SIGINT action back, so a
  second Ctrl-C during a slow exit kills the process by the signal.
So the handler here raises, and keeps raising (a SIGALRM from the interval
timer a moment later, again and again) until the command shows it has the
interrupt in hand (Interrupts.stop); a
dropped KeyboardInterrupt is not printed; and once the command is on its
way out, SIGINT is ignored and the process leaves with os._exit, after
flushing its output, without the interpreter's shutdown.
"""

import os
import signal
import sys

EXIT_INTERRUPTED = 130  # 128 + SIGINT: what shells report for a program stopped by Ctrl-C
INTERRUPTED_LINE = "quorvex: error: interrupted\n"

# How soon a KeyboardInterrupt that has not reached the command is raised
# again. Long enough for an ordinary unwinding to reach it, short enough to
# stop a long walk promptly.
REDELIVERY_SECONDS = 0.1


class Interrupts:
    """The command's Ctrl-C state; its methods run on the main thread only
    (signal handlers included)."""

    def __init__(self) -> None:
        self.installed = False
        self.received = False  # a Ctrl-C arrived
        self.stopping = False  # the command is leaving: nothing is raised any more
        self.reported = False  # the "interrupted" line is out
        self._pending = False  # a KeyboardInterrupt is on its way up

    def install(self) -> None:
        signal.signal(signal.SIGALRM, self._redeliver)
        signal.signal(signal.SIGINT, self._on_sigint)
        sys.unraisablehook = self._unraisable
        self.installed = True

    def check(self) -> None:
        """Raises KeyboardInterrupt if a Ctrl-C arrived that was dropped on
        its way (the command calls this between images and records)."""
        if self.received and not self.stopping:
            raise KeyboardInterrupt

    def stop(self) -> None:
        """From now on a Ctrl-C is ignored and nothing is raised again."""
        self.stopping = True
        if self.installed:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.setitimer(signal.ITIMER_REAL, 0)

    def _on_sigint(self, signum: int, frame: object) -> None:
        self.received = True
        # A second Ctrl-C while the first is still on its way up is the
        # same request; raising again could land in the code that handles
        # the first.
        if not self.stopping and not self._pending:
            self._raise()

    def _redeliver(self, signum: int, frame: object) -> None:
        if self.received and not self.stopping:
            self._raise()

    def _raise(self) -> None:
        self._pending = True
        signal.setitimer(signal.ITIMER_REAL, REDELIVERY_SECONDS)
        raise KeyboardInterrupt

    def _unraisable(self, unraisable: "sys.UnraisableHookArgs") -> None:
        # A KeyboardInterrupt dropped in a finalizer or callback: it is
        # raised again shortly, so it is not shown.
        if unraisable.exc_type is not None and issubclass(unraisable.exc_type, KeyboardInterrupt):
            return
        sys.__unraisablehook__(unraisable)


interrupts = Interrupts()


def report_interrupted() -> int:
    """Stops taking Ctrl-C, writes the "interrupted" line once and returns
    the exit status."""
    interrupts.stop()
    if not interrupts.reported:
        interrupts.reported = True
        _write_stderr(INTERRUPTED_LINE)
    return EXIT_INTERRUPTED


def main() -> None:
    """The console script: runs the command and leaves with its status."""
    interrupts.install()
    status = EXIT_INTERRUPTED
    try:
        from quorvex.cli import main as run_command

        status = run_command()
    except KeyboardInterrupt:
        pass
    _leave(status)


def _leave(status: int) -> None:
    # Any statement here may still meet a KeyboardInterrupt raised before
    # stop() took effect; stop() is idempotent, so it is simply done again.
    while True:
        try:
            interrupts.stop()
            break
        except KeyboardInterrupt:
            continue
    if interrupts.received:
        status = report_interrupted()
    _flush_standard_streams()
    os._exit(status)


def _flush_standard_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass  # a reader gone or a stream closed: the exit status is what is left


def _write_stderr(text: str) -> None:
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass


if __name__ == "__main__":
    # Run as python -m _quorvex_cli: the package imports this module by its
    # name, and must find this one, which owns the handler, not a copy.
    sys.modules.setdefault("_quorvex_cli", sys.modules[__name__])
    main()
