"""The quorvex command line: ``quorvex key`` derives keys from images,
``quorvex check`` checks the records of keys derived before and
``quorvex calibrate`` finds the walk steps for a target time.

Every failure is one line on standard error and a documented exit status,
never a traceback. The console script enters through _quorvex_cli, which
owns Ctrl-C; main() here also runs on its own (python -m quorvex, tests).
"""

from __future__ import annotations

import argparse
import errno
import functools
import io
import json
import os
import secrets
import stat
import sys
import threading
import time
import warnings
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib import metadata
from typing import IO, Any, NoReturn

from PIL import Image, UnidentifiedImageError

from _quorvex_cli import EXIT_INTERRUPTED, interrupts, report_interrupted

from . import _engine, _host, _image, _options

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

# Names of the command-line options whose API parameter has another name.
_OPTION_NAMES = {"version": "--scheme-version"}

# The inputs of a derivation that `key` takes as options (dest names); with
# --like they come from the record instead.
_INPUT_OPTIONS = ("nonce", "timestamp", "scheme_version", "walk", "kdf", "steps", "layers",
                  "info", "context", "key_size", "threads")



# A BLAKE3 walk whose worker pool cannot start its threads: that record or
# image fails on its own, and the others are still done.
_UNSERVED_THREADS: tuple[type[BaseException], ...] = (_host.WorkerPoolError,)

# Warnings about the image itself, shown as one line naming the image.
_IMAGE_WARNINGS = (_image.DroppedInputWarning, Image.DecompressionBombWarning)

# The shells `--print-completion` writes a script for.
COMPLETION_SHELLS = ("bash", "zsh")
# What shtab completes a file name with (shtab.FILE), set without importing
# shtab until a completion script is asked for.
_FILE_COMPLETION = {"bash": "_shtab_compgen_files", "zsh": "_files"}


# --- the parser -------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Never abbreviates options; a usage error is one line naming the
    command (``quorvex key: error: ...``) and exit status 2."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(allow_abbrev=False, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        # A subcommand's parser is run through parse_known_args, whose
        # leftovers argparse reports in the name of `quorvex` alone; each
        # parser reports its own.
        parsed, extras = super().parse_known_args(args, namespace)
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        return parsed, extras


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version of quorvex and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"quorvex {package_version()}")
        parser.exit(EXIT_OK)


class _CompletionAction(argparse.Action):
    """Prints a completion script for the whole command, made by shtab from
    this parser, and exits."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         choices=COMPLETION_SHELLS, metavar="SHELL",
                         help="print a completion script for %s and exit"
                              % " or ".join(COMPLETION_SHELLS))

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        try:
            script = completion_script(str(values))
        except ImportError:  # a dependency of the package, but an install may lack it
            parser.error("argument --print-completion: needs shtab (pip install shtab)")
        print(script)
        parser.exit(EXIT_OK)


def completion_script(shell: str) -> str:
    """The completion script of ``quorvex`` for ``shell`` (bash or zsh)."""
    import shtab

    return shtab.complete(build_parser(), shell)


def package_version() -> str:
    """The version of the installed quorvex package."""
    version = getattr(sys.modules["quorvex"], "__version__", None)
    if isinstance(version, str):
        return version
    for distribution in metadata.packages_distributions().get("quorvex", []):
        return metadata.version(distribution)
    return "unknown"


def _hex_bytes(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not hexadecimal bytes: {text!r}") from None


def _decimal(text: str) -> int:
    # The pool's own rule for numbers: digits with an optional '+', nothing
    # else (int() would also take spaces, '_' and non-ASCII digits).
    value = _engine.parse_decimal_u64(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"not a whole number of 0 to 2**64 - 1: {text!r}")
    return value


def _positive(text: str) -> int:
    value = _decimal(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def usable_cpu_count() -> int:
    """The CPUs this process may run on (its affinity mask), at least 1."""
    counter = getattr(os, "process_cpu_count", None)  # Python 3.13
    count = counter() if counter is not None else len(os.sched_getaffinity(0))
    return max(1, count or 1)



def default_jobs() -> int:
    """-j when it is not given: the usable CPUs (derivations release the
    interpreter, so jobs on threads run side by side)."""
    return usable_cpu_count()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Derive cryptographic keys from images.",
                     epilog=EXIT_STATUS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-V", "--version", action=_VersionAction)
    parser.add_argument("--print-completion", action=_CompletionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    _add_key_command(commands)
    _add_check_command(commands)
    _add_calibrate_command(commands)
    return parser


def _add_jobs_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("-j", "--jobs", type=_positive, metavar="N",
                        help=f"{what} at most N images at once, each on its own CPU "
                             "(default: the CPUs this process may use)")


def _add_zero_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-z", "--zero", action="store_true",
                        help="end each output line with NUL, not newline, and do not escape "
                             "file names")


def _add_key_command(commands: Any) -> None:
    key = commands.add_parser(
        "key", help="derive a key from each image",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Derive a key from each IMAGE (PNG, JPEG, PPM or any format Pillow "
                    "reads; - or none reads one from standard input when it is not a "
                    "terminal), or from the sample image shipped with quorvex (--sample). "
                    "Keys are printed in hex as each is derived, in the order given. "
                    "Without --nonce or --timestamp a random nonce and the current time are "
                    "used and reported on standard error, so that the key can be derived "
                    "again. Only R, G and B enter a key: an alpha channel and the extra "
                    "frames of an animated or multi-page image are dropped, with a warning.")
    images = key.add_argument("images", nargs="*", metavar="IMAGE",
                              help="image files (- for standard input)")
    setattr(images, "complete", _FILE_COMPLETION)
    key.add_argument("--sample", action="store_true",
                     help="derive the key of the sample image shipped with quorvex")
    key.add_argument("--nonce", type=_hex_bytes,
                     help="nonce in hex, not empty; also the HKDF salt (default: 16 random bytes)")
    key.add_argument("--timestamp", type=_decimal, help="seconds since 1970 (default: now)")
    key.add_argument("--scheme-version",
                     help="scheme version string bound into the seed (default: %s)"
                          % _options.DEFAULT_VERSION)
    key.add_argument("--walk", choices=_options.WALKS,
                     help=f"pixel walk (default: {_options.DEFAULT_WALK})")
    key.add_argument("--kdf", choices=_options.KDFS,
                     help=f"final key derivation (default: {_options.DEFAULT_KDF})")
    key.add_argument("--steps", type=_decimal,
                     help=f"walk steps per layer, at least 1 (default: {_options.DEFAULT_STEPS}; "
                          "see quorvex calibrate)")
    key.add_argument("--layers", type=_decimal,
                     help=f"walk layers, at least 1 (default: {_options.DEFAULT_LAYERS})")
    key.add_argument("--info", type=_hex_bytes,
                     help="HKDF info label in hex (default: the hex of %s)"
                          % _options.DEFAULT_INFO.decode())
    key.add_argument("--context",
                     help=f"BLAKE3 derive-key context (default: {_options.DEFAULT_CONTEXT})")
    key.add_argument("--key-size", type=_decimal, choices=_options.KEY_SIZES,
                     help=f"key bytes (default: {_options.DEFAULT_KEY_SIZE})")
    key.add_argument("--threads", type=_decimal,
                     help=f"BLAKE3 walk threads, 1 to {_options.MAX_THREADS} (default: what the "
                          "worker pool takes: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the "
                          "usable CPUs); the key depends on it")
    like = key.add_argument("--like", metavar="RECORD",
                            help="take every input from RECORD, a file holding one record of "
                                 "'quorvex key --json' (with or without its key), and derive "
                                 "that key again from IMAGE")
    setattr(like, "complete", _FILE_COMPLETION)
    _add_jobs_option(key, "derive")
    output = key.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true",
                        help="print a JSON record of each key and every input that determines "
                             "it, one per line (JSON Lines)")
    output.add_argument("--raw", action="store_true",
                        help="write the key as raw bytes (one image only; not to a terminal "
                             "unless --force)")
    key.add_argument("--force", action="store_true",
                     help="with --raw, write to a terminal too")
    key.add_argument("--no-key", action="store_true",
                     help="leave the secret key out of the --json records")
    _add_zero_option(key)
    key.add_argument("-V", "--version", action=_VersionAction)
    key.set_defaults(run=_run_key, parser=key)


def _add_check_command(commands: Any) -> None:
    check = commands.add_parser(
        "check", help="check key records",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Check records printed by 'quorvex key --json': derive each key again "
                    "from its image with the recorded inputs (the thread count included), "
                    "compare it with the recorded key in constant time and print "
                    "'IMAGE: OK' or 'IMAGE: FAILED', in the order of the records. A line "
                    "that is not a record fails (as with sha256sum --strict): a record file "
                    "is written by quorvex alone, and a damaged line is a key that was not "
                    "checked. When records fail, a summary goes to standard error. The exit "
                    "status is 0 only if every record matches.")
    records = check.add_argument("records", nargs="*", metavar="RECORDS",
                                 help="files of JSON Lines records (- or none: standard input)")
    setattr(records, "complete", _FILE_COMPLETION)
    check.add_argument("-q", "--quiet", action="store_true",
                       help="do not print OK for each matching record, nor warnings about "
                            "the images")
    check.add_argument("--status", action="store_true",
                       help="print nothing but errors that stop a record being read; the exit "
                            "status tells")
    check.add_argument("--strict", action="store_true",
                       help="a line that is not a record fails (the default; kept for "
                            "sha256sum habits)")
    check.add_argument("-w", "--warn", action="store_true",
                       help="name each line that is not a record, with --status too (it is "
                            "named by default)")
    check.add_argument("--ignore-missing", action="store_true",
                       help="skip records whose image file does not exist")
    _add_jobs_option(check, "check")
    _add_zero_option(check)
    check.add_argument("-V", "--version", action=_VersionAction)
    check.set_defaults(run=_run_check, parser=check)


def _add_calibrate_command(commands: Any) -> None:
    calibrate = commands.add_parser(
        "calibrate", help="find the walk steps for a target time on this machine",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Measure this machine and print, for each walk, the options whose key "
                    "takes about --target-ms milliseconds to derive. The walk is what "
                    "makes guessing the image expensive for someone who holds a record: "
                    "choose the longest time your users accept, as with the cost "
                    "parameters of argon2 or scrypt, and measure on the slowest machine "
                    "that must derive the key.")
    calibrate.add_argument("--target-ms", type=_positive, default=1000, metavar="MS",
                           help="the time one key should take, in milliseconds "
                                "(default: %(default)s)")
    calibrate.add_argument("--layers", type=_positive, default=_options.DEFAULT_LAYERS,
                           help="walk layers (default: %(default)s)")
    calibrate.add_argument("--walk", choices=_options.WALKS, action="append",
                           help="measure this walk only (may be repeated; default: both)")
    calibrate.add_argument("-V", "--version", action=_VersionAction)
    calibrate.set_defaults(run=_run_calibrate, parser=calibrate)


# --- running a command --------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    _prepare_standard_output()
    try:
        with _image_warnings_routed():
            return _run(argv)
    except KeyboardInterrupt:
        return report_interrupted()
    except BrokenPipeError:
        _discard_standard_output()
        _say("error: standard output closed early (broken pipe)")
        return EXIT_BROKEN_PIPE


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return EXIT_USAGE
    try:
        status: int = args.run(args)
    except BrokenPipeError:
        raise
    except OSError as error:  # the system refused: no space for the output, no thread, ...
        _discard_standard_output()  # every finished line was flushed; the rest cannot be
        _say(f"error: {error}")
        return EXIT_FAILED
    except Exception as error:  # a fault of quorvex itself: still one line
        _say(f"internal error: {type(error).__name__}: {error}")
        return EXIT_INTERNAL
    except BaseException as error:
        if type(error).__name__ != "PanicException":  # Ctrl-C, exit
            raise
        _say(f"internal error: {error.args[0] if error.args else error}")
        return EXIT_INTERNAL
    sys.stdout.flush()  # inside, so that a reader gone by now is reported
    return status


@dataclass
class _Outcome:
    """What one image or record gives: its output and its messages, written
    in argument or record order whatever order the jobs finish in."""

    verdict: str  # "ok", "mismatch", "unreadable", "unchecked", "missing", "malformed"
    output: bytes = b""
    errors: list[str] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)


class _Jobs:
    """Runs tasks on up to `count` threads and hands their outcomes to
    `emit` in the order they were added. At most `count` tasks run at once,
    so at most `count` images are decoded at once; a few more wait, queued
    as names. With one job the tasks run on the calling (main) thread,
    where a Ctrl-C stops even a walk that holds the interpreter."""

    def __init__(self, count: int, emit: Callable[[_Outcome], None]) -> None:
        self._emit = emit
        self._window = 2 * count
        self._queue: deque[Future[_Outcome]] = deque()
        self._executor = (ThreadPoolExecutor(count, thread_name_prefix="quorvex-job")
                          if count > 1 else None)

    def add(self, task: Callable[[], _Outcome]) -> None:
        if self._executor is None:
            self.add_outcome(task())
            return
        self._queue.append(self._executor.submit(task))
        self._drain()

    def add_outcome(self, outcome: _Outcome) -> None:
        if self._executor is None:
            self._emit(outcome)
            interrupts.check()
            return
        done: Future[_Outcome] = Future()
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
def _running(jobs: _Jobs) -> Iterator[_Jobs]:
    try:
        yield jobs
        jobs.finish()
    except BaseException:
        jobs.abandon()
        raise


# Which characters in a name make sha256sum escape it: any of these in a
# line of sums, a newline or carriage return in a line of `sha256sum -c`
# (where a backslash alone stays as it is).
ESCAPED_IN_SUMS = "\\\n\r"
ESCAPED_IN_CHECKS = "\n\r"


class _Output:
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


def _write(data: bytes) -> None:
    if data:
        sys.stdout.flush()
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()  # each line as soon as it is known


def _emit_messages(outcome: _Outcome, *, show_warnings: bool) -> None:
    if show_warnings:
        for message in outcome.warnings:
            _say(f"warning: {message}")
    for message in outcome.errors:
        _say(f"error: {message}")


# --- reading images -------------------------------------------------------------

class _Source:
    """An image named on the command line or in a record: a file, standard
    input (-) or the sample image (None)."""

    def __init__(self, name: str | None, stdin_image: Callable[[], bytes]) -> None:
        self.name = name
        self._stdin_image = stdin_image

    @property
    def label(self) -> str:
        return SAMPLE_LABEL if self.name is None else self.name

    def load(self) -> _image.RgbImage:
        if self.name is None:
            return _image.sample_image()
        if self.name == STDIN:
            return _image.load_image(io.BytesIO(self._stdin_image()))
        with _open_regular_file(self.name) as file:
            return _image.load_image(file)


class _StandardInputImage:
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


def _open_regular_file(name: str) -> IO[bytes]:
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


def _unreadable(label: str, error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"{label!r}: out of memory"
    return f"cannot read image {label!r}: {_reason(error)}"


def _reason(error: BaseException) -> str:
    # The file name is already in the message; strerror is the reason alone.
    # Pillow names a file object by its repr: say what it means instead.
    if isinstance(error, UnidentifiedImageError):
        return "not an image in a format Pillow reads"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


# Each job thread collects the warnings about its image here.
_warning_sink = threading.local()


@contextmanager
def _image_warnings_routed() -> Iterator[None]:
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
def _warnings_into(messages: list[str], label: str) -> Iterator[None]:
    _warning_sink.messages = messages
    _warning_sink.label = label
    try:
        yield
    finally:
        _warning_sink.messages = None


# --- quorvex key ------------------------------------------------------------

def _run_key(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.parser
    names = _key_images(parser, args)
    if args.raw and len(names) > 1:
        parser.error("argument --raw: writes the key of one image only")
    if args.raw and not args.force and sys.stdout.isatty():
        parser.error("argument --raw: standard output is a terminal; redirect it, or add --force")
    if args.no_key and not args.json:
        parser.error("argument --no-key: goes with --json")
    derive = _like_record(parser, args) if args.like else _drawn_options(parser, args)
    output = _Output(args.zero, ESCAPED_IN_SUMS)
    several = len(names) > 1
    stdin_image = _StandardInputImage()
    failed = False

    def emit(outcome: _Outcome) -> None:
        nonlocal failed
        _emit_messages(outcome, show_warnings=True)
        failed |= outcome.verdict != "ok"
        _write(outcome.output)

    with _running(_Jobs(min(args.jobs or default_jobs(), len(names)), emit)) as jobs:
        for name in names:
            source = _Source(name, stdin_image)
            jobs.add(functools.partial(_key_outcome, source, derive, args, output, several))
    return EXIT_FAILED if failed else EXIT_OK


def _key_images(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[str | None]:
    names: list[str | None] = list(args.images)
    if args.sample:
        if names:
            parser.error("argument --sample: not with IMAGE")
        return [None]
    if not names:
        if _is_terminal(sys.stdin):
            parser.error("give an IMAGE file, - to read one from standard input, or --sample "
                         "for the sample image")
        names = [STDIN]
    if names.count(STDIN) > 1:
        parser.error("standard input (-) can be read once")
    return names


def _is_terminal(stream: IO[Any] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


_Derive = Callable[[_image.RgbImage], _host.Derivation]


def _drawn_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> _Derive:
    try:
        options = _options.check_options(
            nonce=args.nonce if args.nonce is not None else secrets.token_bytes(16),
            timestamp=args.timestamp if args.timestamp is not None else int(time.time()),
            version=_given(args.scheme_version, _options.DEFAULT_VERSION),
            walk=_given(args.walk, _options.DEFAULT_WALK),
            kdf=_given(args.kdf, _options.DEFAULT_KDF),
            steps=_given(args.steps, _options.DEFAULT_STEPS),
            layers=_given(args.layers, _options.DEFAULT_LAYERS),
            info=_given(args.info, _options.DEFAULT_INFO),
            context=_given(args.context, _options.DEFAULT_CONTEXT),
            key_size=_given(args.key_size, _options.DEFAULT_KEY_SIZE),
            threads=args.threads)
    except _options.OptionError as error:
        option = _OPTION_NAMES.get(error.option, "--" + error.option.replace("_", "-"))
        parser.error(f"argument {option}: {error.requirement}")
    if not args.json and (args.nonce is None or args.timestamp is None):
        # Drawn here, so the user needs them to derive the same keys again.
        _say(f"nonce {options.nonce.hex()} timestamp {options.timestamp}", prefix="")
    return lambda rgb: _host.derive_checked(rgb, options)


def _given(value: Any, default: Any) -> Any:
    return default if value is None else value


def _like_record(parser: argparse.ArgumentParser, args: argparse.Namespace) -> _Derive:
    given = [name for name in _INPUT_OPTIONS if getattr(args, name) is not None]
    if given:
        parser.error(f"argument --like: the record holds every input; not with "
                     f"--{given[0].replace('_', '-')}")
    try:
        with open(args.like, "rb") as file:
            lines = [line for line in file.read().splitlines() if line.strip()]
    except OSError as error:
        parser.error(f"argument --like: cannot read {args.like!r}: {_reason(error)}")
    if len(lines) != 1:
        parser.error(f"argument --like: {args.like!r} must hold one record, not {len(lines)}")
    try:
        inputs = _host.Derivation.inputs_from_json(_json_text(lines[0]))
    except ValueError as error:
        parser.error(f"argument --like: {args.like}: {error}")
    return inputs.derive


def _key_outcome(source: _Source, derive: _Derive, args: argparse.Namespace, output: _Output,
                 several: bool) -> _Outcome:
    outcome = _Outcome("ok")
    try:
        with _warnings_into(outcome.warnings, source.label):
            rgb = source.load()
            derivation = derive(rgb)
    except (OSError, MemoryError) as error:
        return _Outcome("unreadable", errors=[_unreadable(source.label, error)],
                        warnings=outcome.warnings)
    except ValueError as error:  # --like: not the recorded image
        return _Outcome("mismatch", errors=[f"{source.label}: {error}"], warnings=outcome.warnings)
    except _UNSERVED_THREADS as error:
        return _Outcome("unchecked", errors=[_unserved(source.label, error)],
                        warnings=outcome.warnings)
    if args.json:
        record = {"image": source.name, **derivation.to_json(include_key=not args.no_key)}
        outcome.output = output.line(json.dumps(record))
    elif args.raw:
        outcome.output = derivation.key
    elif several:
        outcome.output = output.line(f"{derivation.key.hex()}  {{name}}", name=source.label)
    else:
        outcome.output = output.line(derivation.key.hex())
    return outcome


def _unserved(label: str, error: BaseException) -> str:
    if type(error).__name__ == "WorkerPoolError":
        return f"{label}: the worker pool cannot start its threads: {error}"
    return f"{label}: {error}"


# --- quorvex check --------------------------------------------------------

def _run_check(args: argparse.Namespace) -> int:
    checker = _Checker(args)
    with _running(_Jobs(args.jobs or default_jobs(), checker.emit)) as jobs:
        for source in args.records or [STDIN]:
            checker.check_file(source, jobs)
    return checker.finish()


class _Checker:
    """Reads records and checks them, counting the outcomes."""

    def __init__(self, args: argparse.Namespace) -> None:
        self._args = args
        self._output = _Output(args.zero, ESCAPED_IN_CHECKS)
        self._records_from_stdin = STDIN in args.records or not args.records
        self._stdin_image = _StandardInputImage()
        self._shown_warnings: set[str] = set()
        self.counts = {verdict: 0 for verdict in
                       ("ok", "mismatch", "unreadable", "unchecked", "missing", "malformed")}

    def check_file(self, source: str, jobs: _Jobs) -> None:
        try:
            lines = _read_lines(source)
        except OSError as error:
            jobs.add_outcome(_Outcome("unreadable", errors=[
                f"cannot read records {source!r}: {_reason(error)}"]))
            return
        for number, line in enumerate(lines, 1):
            if line.strip():
                self._check_line(f"{source}:{number}", line, jobs)

    def _check_line(self, where: str, line: bytes, jobs: _Jobs) -> None:
        try:
            record = json.loads(line)
            derivation = _host.Derivation.from_json(record)
            name = _record_image(record)
        except (ValueError, RecursionError) as error:
            jobs.add_outcome(_Outcome("malformed", errors=[f"{where}: {_malformed(error)}"]))
            return
        if name == STDIN:
            if self._records_from_stdin:
                jobs.add_outcome(_Outcome("malformed", errors=[
                    f"{where}: the image is standard input, which holds the records"]))
                return
        source = _Source(name, self._stdin_image)
        jobs.add(functools.partial(self._verify, source, derivation))

    def _verify(self, source: _Source, derivation: _host.Derivation) -> _Outcome:
        outcome = _Outcome("ok")
        try:
            with _warnings_into(outcome.warnings, source.label):
                derivation.verify(source.load())
        except _host.KeyMismatchError:
            outcome.verdict = "mismatch"
        except FileNotFoundError as error:
            if self._args.ignore_missing:
                return _Outcome("missing")
            outcome.verdict = "unreadable"
            outcome.errors.append(_unreadable(source.label, error))
        except (OSError, MemoryError) as error:
            outcome.verdict = "unreadable"
            outcome.errors.append(_unreadable(source.label, error))
        except _UNSERVED_THREADS as error:
            outcome.verdict = "unchecked"
            outcome.errors.append(_unserved(source.label, error))
        verdict = {"ok": "OK", "unreadable": "FAILED open or read"}.get(outcome.verdict, "FAILED")
        outcome.output = self._output.line(f"{{name}}: {verdict}", name=source.label)
        return outcome

    def emit(self, outcome: _Outcome) -> None:
        args = self._args
        self.counts[outcome.verdict] += 1
        fresh = [message for message in outcome.warnings if message not in self._shown_warnings]
        self._shown_warnings.update(fresh)
        outcome.warnings = fresh  # each image's warnings once, not once per record
        if outcome.verdict == "malformed" and args.status and not args.warn:
            outcome.errors = []
        _emit_messages(outcome, show_warnings=not (args.quiet or args.status))
        if args.status or (args.quiet and outcome.verdict == "ok"):
            return
        _write(outcome.output)

    def finish(self) -> int:
        counts = self.counts
        checked = sum(counts.values()) - counts["malformed"] - counts["missing"]
        failures = sum(counts.values()) - counts["ok"] - counts["missing"]
        if checked == 0 and failures == 0:
            _say("error: no records to check" if counts["missing"] == 0
                 else "error: no image was checked: every one is missing")
            return EXIT_FAILED
        if not self._args.status:
            self._summarize(checked)
        return EXIT_OK if failures == 0 else EXIT_FAILED

    def _summarize(self, checked: int) -> None:
        counts = self.counts
        if counts["mismatch"]:
            _say(f"WARNING: {counts['mismatch']} of {checked} keys did NOT match")
        unchecked = counts["unreadable"] + counts["unchecked"]
        if unchecked:
            _say(f"WARNING: {unchecked} of {checked} records could not be checked")
        if counts["malformed"]:
            lines = counts["malformed"]
            _say(f"WARNING: {lines} line{'s are' if lines > 1 else ' is'} not a key record")


def _malformed(error: BaseException) -> str:
    if isinstance(error, RecursionError):
        return "not a quorvex key record: nested too deeply"
    reason = str(error)
    if not reason.startswith("not a quorvex key record"):
        reason = f"not a quorvex key record: {reason}"
    return reason


def _json_text(line: bytes) -> str:
    # The command line writes file names that are not UTF-8 with surrogate
    # escapes; json reads text.
    return line.decode("utf-8", "surrogateescape")


def _record_image(record: Any) -> str | None:
    image = record.get("image")
    if image is not None and not isinstance(image, str):
        raise ValueError("image must be a file name or null (the sample image)")
    return image


def _read_lines(source: str) -> list[bytes]:
    if source == STDIN:
        return sys.stdin.buffer.read().splitlines()
    with open(source, "rb") as file:
        return file.read().splitlines()


# --- quorvex calibrate ----------------------------------------------------

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


def _run_calibrate(args: argparse.Namespace) -> int:
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
    _say(f"steps for about {args.target_ms} ms of walk per key on this machine (loading and "
         "hashing the image come on top):")
    for line in advice:
        print(line, flush=True)
    return EXIT_OK


def _derivation_seconds(rgb: _image.RgbImage, walk: str, layers: int, steps: int) -> float:
    """The best of two timed derivations of `rgb` (a busy machine's noise
    only ever adds time)."""
    options = _options.check_options(
        nonce=bytes(16), timestamp=0, version=_options.DEFAULT_VERSION, walk=walk,
        kdf=_options.DEFAULT_KDF, steps=steps, layers=layers, info=_options.DEFAULT_INFO,
        context=_options.DEFAULT_CONTEXT, key_size=_options.DEFAULT_KEY_SIZE, threads=None)
    best = float("inf")
    for _ in range(2):
        start = time.perf_counter()
        _host.derive_checked(rgb, options)
        best = min(best, time.perf_counter() - start)
        interrupts.check()
    return best


# --- shared ---------------------------------------------------------------

def _say(message: str, prefix: str = "quorvex: ") -> None:
    try:
        print(f"{prefix}{message}", file=sys.stderr, flush=True)
    except OSError:
        pass  # standard error is gone too: the exit status is all that is left


def _prepare_standard_output() -> None:
    # A file name that is not UTF-8 arrives with surrogate escapes and goes
    # out as the same bytes, as other tools print it.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")


def _discard_standard_output() -> None:
    # What is still buffered can never be written; point the descriptor at
    # /dev/null so the interpreter's final flush does not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
