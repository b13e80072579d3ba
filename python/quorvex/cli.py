"""The quorvex command line: ``quorvex key`` derives keys from images and
``quorvex check`` checks the records of keys derived before.

Every failure is one line on standard error and a documented exit status,
never a traceback.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import secrets
import sys
import time
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from importlib import metadata
from typing import Any, NoReturn

from PIL import Image

from . import _engine, _host, _image, _options

EXIT_OK = 0
EXIT_FAILED = 1  # an image or a record failed; the others were still done
EXIT_USAGE = 2
EXIT_INTERNAL = 70  # a fault of quorvex itself (sysexits' EX_SOFTWARE)
EXIT_INTERRUPTED = 130  # 128 + SIGINT: what shells report for a program stopped by Ctrl-C
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


class _Parser(argparse.ArgumentParser):
    """Never abbreviates options; a usage error is one line and exit status 2."""

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(allow_abbrev=False, **kwargs)

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


class _VersionAction(argparse.Action):
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


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Derive cryptographic keys from images.",
                     epilog=EXIT_STATUS_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    _add_key_command(commands)
    _add_check_command(commands)
    return parser


def _add_key_command(commands: Any) -> None:
    key = commands.add_parser(
        "key", help="derive a key from each image",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Derive a key from each IMAGE (PNG, JPEG, PPM or any format Pillow "
                    "reads; - reads one from standard input), or from the sample image "
                    "shipped with quorvex. Keys are printed in hex as each is derived. "
                    "Without --nonce or --timestamp a random nonce and the current time are "
                    "used and reported on standard error, so that the key can be derived "
                    "again. Only R, G and B enter a key: an alpha channel and the extra "
                    "frames of an animated or multi-page image are dropped, with a warning.")
    key.add_argument("images", nargs="*", metavar="IMAGE", help="image files (- for stdin)")
    key.add_argument("--nonce", type=_hex_bytes,
                     help="nonce in hex, not empty; also the HKDF salt (default: 16 random bytes)")
    key.add_argument("--timestamp", type=_decimal, help="seconds since 1970 (default: now)")
    key.add_argument("--scheme-version", default=_options.DEFAULT_VERSION,
                     help="scheme version string bound into the seed (default: %(default)s)")
    key.add_argument("--walk", choices=_options.WALKS, default=_options.DEFAULT_WALK,
                     help="pixel walk (default: %(default)s)")
    key.add_argument("--kdf", choices=_options.KDFS, default=_options.DEFAULT_KDF,
                     help="final key derivation (default: %(default)s)")
    key.add_argument("--steps", type=_decimal, default=_options.DEFAULT_STEPS,
                     help="walk steps per layer, at least 1 (default: %(default)s)")
    key.add_argument("--layers", type=_decimal, default=_options.DEFAULT_LAYERS,
                     help="walk layers, at least 1 (default: %(default)s)")
    key.add_argument("--info", type=_hex_bytes, default=_options.DEFAULT_INFO,
                     help="HKDF info label in hex (default: the hex of %s)"
                          % _options.DEFAULT_INFO.decode())
    key.add_argument("--context", default=_options.DEFAULT_CONTEXT,
                     help="BLAKE3 derive-key context (default: %(default)s)")
    key.add_argument("--key-size", type=_decimal, choices=_options.KEY_SIZES,
                     default=_options.DEFAULT_KEY_SIZE, help="key bytes (default: %(default)s)")
    key.add_argument("--threads", type=_decimal,
                     help=f"BLAKE3 walk threads, 1 to {_options.MAX_THREADS} (default: what the "
                          "worker pool takes: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the "
                          "usable CPUs); the key depends on it")
    output = key.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true",
                        help="print a JSON record of each key and every input that determines "
                             "it, one per line (JSON Lines)")
    output.add_argument("--raw", action="store_true",
                        help="write the key as raw bytes (one image only)")
    key.add_argument("--no-key", action="store_true",
                     help="leave the secret key out of the --json records")
    key.add_argument("--version", action=_VersionAction)
    key.set_defaults(run=_run_key, parser=key)


def _add_check_command(commands: Any) -> None:
    check = commands.add_parser(
        "check", help="check key records",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXIT_STATUS_HELP,
        description="Check records printed by 'quorvex key --json': derive each key again "
                    "from its image with the recorded inputs (the thread count included; a "
                    "fresh process is used when this one runs another count), compare it "
                    "with the recorded key in constant time and print 'IMAGE: OK' or "
                    "'IMAGE: FAILED'. The exit status is 0 only if every record matches.")
    check.add_argument("records", nargs="*", metavar="RECORDS",
                       help="files of JSON Lines records (- or none: standard input)")
    check.add_argument("--version", action=_VersionAction)
    check.set_defaults(run=_run_check, parser=check)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    _prepare_standard_output()
    try:
        return _run(argv)
    except KeyboardInterrupt:
        _say("error: interrupted")
        return EXIT_INTERRUPTED
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
    except _Fatal:
        return EXIT_FAILED
    except BrokenPipeError:
        raise
    except OSError as error:  # the system refused: no space for the output, no process, ...
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


class _Fatal(Exception):
    """A failure after which no other image can be done in this process."""


# --- quorvex key ----------------------------------------------------------

def _run_key(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.parser
    names: list[str | None] = list(args.images) or [None]
    if names.count(STDIN) > 1:
        parser.error("standard input (-) can be read once")
    if args.raw and len(names) > 1:
        parser.error("argument --raw: writes the key of one image only")
    if args.no_key and not args.json:
        parser.error("argument --no-key: goes with --json")
    options = _checked_options(parser, args)
    if not args.json and (args.nonce is None or args.timestamp is None):
        # Drawn here, so the user needs them to derive the same keys again.
        _say(f"nonce {options.nonce.hex()} timestamp {options.timestamp}", prefix="")
    status = EXIT_OK
    for name in names:
        derivation = _derive_one(name, options)
        if derivation is None:
            status = EXIT_FAILED
        else:
            _print_key(args, name, derivation, several=len(names) > 1)
    return status


def _checked_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> _options.Options:
    try:
        return _options.check_options(
            nonce=args.nonce if args.nonce is not None else secrets.token_bytes(16),
            timestamp=args.timestamp if args.timestamp is not None else int(time.time()),
            version=args.scheme_version, walk=args.walk, kdf=args.kdf, steps=args.steps,
            layers=args.layers, info=args.info, context=args.context, key_size=args.key_size,
            threads=args.threads)
    except _options.OptionError as error:
        option = _OPTION_NAMES.get(error.option, "--" + error.option.replace("_", "-"))
        parser.error(f"argument {option}: {error.requirement}")


def _derive_one(name: str | None, options: _options.Options) -> _host.Derivation | None:
    """The derivation of one image, or None once its failure is reported."""
    label = _label(name)
    try:
        with _reported_warnings(label):
            return _host.derive_checked(_load(name), options)
    except OSError as error:
        _say(f"error: cannot read image {label!r}: {_reason(error)}")
    except MemoryError:
        _say(f"error: {label!r}: out of memory")
    return None


def _print_key(args: argparse.Namespace, name: str | None, derivation: _host.Derivation,
               several: bool) -> None:
    if args.json:
        record = {"image": name, **derivation.to_json(include_key=not args.no_key)}
        print(json.dumps(record))
    elif args.raw:
        sys.stdout.flush()
        sys.stdout.buffer.write(derivation.key)
    elif several:
        print(f"{derivation.key.hex()}  {_label(name)}")
    else:
        print(derivation.key.hex())
    sys.stdout.flush()  # each key as soon as it is derived


# --- quorvex check --------------------------------------------------------

def _run_check(args: argparse.Namespace) -> int:
    checker = _Checker(records_from_stdin=STDIN in args.records or not args.records)
    for source in args.records or [STDIN]:
        checker.check_file(source)
    if checker.total == 0 and checker.failed == 0:
        _say("error: no records to check")
        return EXIT_FAILED
    return EXIT_OK if checker.failed == 0 else EXIT_FAILED


class _Checker:
    """Checks records one by one and counts them."""

    def __init__(self, records_from_stdin: bool) -> None:
        self.total = 0
        self.failed = 0
        self._records_from_stdin = records_from_stdin
        self._stdin_image: bytes | None = None

    def check_file(self, source: str) -> None:
        try:
            lines = _read_lines(source)
        except OSError as error:
            _say(f"error: cannot read records {source!r}: {_reason(error)}")
            self.failed += 1
            return
        for number, line in enumerate(lines, 1):
            if line.strip():
                self.total += 1
                if not self._check_line(f"{source}:{number}", line):
                    self.failed += 1

    def _check_line(self, where: str, line: bytes) -> bool:
        try:
            record = json.loads(line)
            derivation = _host.Derivation.from_json(record)
            name = _record_image(record)
        except ValueError as error:
            reason = str(error)
            if not reason.startswith("not a quorvex key record"):
                reason = f"not a quorvex key record: {reason}"
            _say(f"error: {where}: {reason}")
            return False
        if name == STDIN and self._records_from_stdin:
            _say(f"error: {where}: the image is standard input, which holds the records")
            return False
        return self._check_here(name, derivation)

    def _check_here(self, name: str | None, derivation: _host.Derivation) -> bool:
        label = _label(name)
        verdict = "FAILED"
        try:
            with _reported_warnings(label):
                derivation.verify(self._load(name))
            verdict = "OK"
        except _host.KeyMismatchError:
            pass
        except OSError as error:
            _say(f"error: cannot read image {label!r}: {_reason(error)}")
            verdict = "FAILED open or read"
        except MemoryError:
            _say(f"error: {label!r}: out of memory")
        print(f"{label}: {verdict}")
        sys.stdout.flush()
        return verdict == "OK"

    def _load(self, name: str | None) -> _image.RgbImage:
        if name == STDIN:
            if self._stdin_image is None:
                self._stdin_image = sys.stdin.buffer.read()
            return _image.load_image(io.BytesIO(self._stdin_image))
        return _load(name)


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


# --- shared ---------------------------------------------------------------

def _load(name: str | None) -> _image.RgbImage:
    """The image of a command-line name: None is the sample image, - is
    standard input."""
    if name is None:
        return _image.sample_image()
    if name == STDIN:
        return _image.load_image(io.BytesIO(sys.stdin.buffer.read()))
    return _image.load_image(name)


def _label(name: str | None) -> str:
    return SAMPLE_LABEL if name is None else name


def _reason(error: OSError) -> str:
    # The file name is already in the message; strerror is the reason alone.
    return error.strerror if error.strerror else str(error)


@contextmanager
def _reported_warnings(label: str) -> Iterator[None]:
    """Shows each warning raised inside as one line naming the image; the
    warnings about this image (dropped alpha, dropped frames, a very large
    image) every time, others as the warning filters say."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", _image.DroppedInputWarning)
        warnings.simplefilter("always", Image.DecompressionBombWarning)
        try:
            yield
        finally:
            for warning in caught:
                _say(f"warning: {label}: {warning.message}")


def _write_all(descriptor: int, data: bytes) -> None:
    while data:
        data = data[os.write(descriptor, data):]


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

