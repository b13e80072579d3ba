"""The command line's standard streams: exit statuses, output lines (escaped
as sha256sum escapes names), messages on standard error."""

from __future__ import annotations

import io
import os
import sys

from _quorvex_cli import EXIT_INTERRUPTED

from .. import _image

EXIT_OK = 0
EXIT_FAILED = 1  # an image or a record failed; the others were still done
EXIT_USAGE = 2
EXIT_INTERNAL = 70  # a fault of quorvex itself (sysexits' EX_SOFTWARE)
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE: what shells report for a writer whose reader left

STDIN = "-"
SAMPLE_LABEL = f"(sample) {_image.SAMPLE_IMAGE}"

EXIT_STATUS_HELP = f"""\
exit status:
  {EXIT_OK:<4} success (check: every record matched)
  {EXIT_FAILED:<4} an image could not be read or its key not derived, or (check) a record
       did not match or could not be checked; the other images and records are done
  {EXIT_USAGE:<4} bad command line
  {EXIT_INTERNAL:<4} internal error
  {EXIT_INTERRUPTED:<4} interrupted (Ctrl-C)
  {EXIT_BROKEN_PIPE:<4} standard output closed early (broken pipe)"""

# Which characters in a name make sha256sum escape it: any of these in a
# line of sums, a newline or carriage return in a line of `sha256sum -c`
# (where a backslash alone stays as it is).
ESCAPED_IN_SUMS = "\\\n\r"

ESCAPED_IN_CHECKS = "\n\r"


class Output:
    """Standard output's lines: newline or NUL ended, names escaped the
    way sha256sum escapes them."""

    def __init__(self, zero: bool, escaped_when: str) -> None:
        self._zero = zero
        self._escaped_when = escaped_when

    def line(self, text: str, *, name: str | None = None) -> bytes:
        """`text` with `{name}` replaced by the name. In newline mode a
        name holding one of the `escaped_when` characters is escaped
        (\\\\, \\n, \\r) and the line starts with a backslash."""
        prefix = ""
        if name is not None:
            if not self._zero and any(c in name for c in self._escaped_when):
                prefix = "\\"
                name = name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
            text = text.replace("{name}", name)
        ending = "\0" if self._zero else "\n"
        return os.fsencode(prefix + text + ending)


def write(data: bytes) -> None:
    if data:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()  # each line as soon as it is known


def say(message: str, prefix: str = "quorvex: ") -> None:
    try:
        print(f"{prefix}{message}", file=sys.stderr, flush=True)
    except OSError:
        pass  # standard error is gone too: the exit status is all that is left


def json_text(line: bytes) -> str:
    # The command line writes file names that are not UTF-8 with surrogate
    # escapes; json reads text.
    return line.decode("utf-8", "surrogateescape")


def prepare_standard_output() -> None:
    # A file name that is not UTF-8 arrives with surrogate escapes and goes
    # out as the same bytes, as other tools print it.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")


def discard_standard_output() -> None:
    # What is still buffered can never be written; point the descriptor at
    # /dev/null so the interpreter's final flush does not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
