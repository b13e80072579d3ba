"""``quorvex key``: derives a key from each image."""

from __future__ import annotations

import argparse
import functools
import json
import secrets
import sys
import time
from collections.abc import Callable
from typing import IO, Any

from .. import _host, _image, _options
from .arguments import (
    FILE_COMPLETION,
    VersionAction,
    add_jobs_option,
    add_zero_option,
    decimal,
    default_jobs,
    hex_bytes,
)
from .images import (
    UNSERVED_THREADS,
    Source,
    StandardInputImage,
    reason,
    unreadable,
    unserved,
    warnings_into,
)
from .jobs import Jobs, Outcome, emit_messages, running
from .streams import (
    ESCAPED_IN_SUMS,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_STATUS_HELP,
    STDIN,
    Output,
    json_text,
    say,
    write,
)

# Names of the command-line options whose API parameter has another name.
_OPTION_NAMES = {"version": "--scheme-version"}

# The inputs of a derivation that `key` takes as options (dest names); with
# --like they come from the record instead.
_INPUT_OPTIONS = ("nonce", "timestamp", "scheme_version", "walk", "kdf", "steps", "layers",
                  "info", "context", "key_size", "threads")


def add_command(commands: Any) -> None:
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
    setattr(images, "complete", FILE_COMPLETION)
    key.add_argument("--sample", action="store_true",
                     help="derive the key of the sample image shipped with quorvex")
    key.add_argument("--nonce", type=hex_bytes,
                     help="nonce in hex, not empty; also the HKDF salt (default: 16 random bytes)")
    key.add_argument("--timestamp", type=decimal, help="seconds since 1970 (default: now)")
    key.add_argument("--scheme-version",
                     help="scheme version string bound into the seed (default: %s)"
                          % _options.DEFAULT_VERSION)
    key.add_argument("--walk", choices=_options.WALKS,
                     help=f"pixel walk (default: {_options.DEFAULT_WALK})")
    key.add_argument("--kdf", choices=_options.KDFS,
                     help=f"final key derivation (default: {_options.DEFAULT_KDF})")
    key.add_argument("--steps", type=decimal,
                     help=f"walk steps per layer, at least 1 (default: {_options.DEFAULT_STEPS}; "
                          "see quorvex calibrate)")
    key.add_argument("--layers", type=decimal,
                     help=f"walk layers, at least 1 (default: {_options.DEFAULT_LAYERS})")
    key.add_argument("--info", type=hex_bytes,
                     help="HKDF info label in hex (default: the hex of %s)"
                          % _options.DEFAULT_INFO.decode())
    key.add_argument("--context",
                     help=f"BLAKE3 derive-key context (default: {_options.DEFAULT_CONTEXT})")
    key.add_argument("--key-size", type=decimal, choices=_options.KEY_SIZES,
                     help=f"key bytes (default: {_options.DEFAULT_KEY_SIZE})")
    key.add_argument("--threads", type=decimal,
                     help=f"BLAKE3 walk threads, 1 to {_options.MAX_THREADS} (default: what the "
                          "worker pool takes: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS or the "
                          "usable CPUs); the key depends on it")
    like = key.add_argument("--like", metavar="RECORD",
                            help="take every input from RECORD, a file holding one record of "
                                 "'quorvex key --json' (with or without its key), and derive "
                                 "that key again from IMAGE")
    setattr(like, "complete", FILE_COMPLETION)
    add_jobs_option(key, "derive")
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
    add_zero_option(key)
    key.add_argument("-V", "--version", action=VersionAction)
    key.set_defaults(run=run, parser=key)


def run(args: argparse.Namespace) -> int:
    parser: argparse.ArgumentParser = args.parser
    names = _key_images(parser, args)
    if args.raw and len(names) > 1:
        parser.error("argument --raw: writes the key of one image only")
    if args.raw and not args.force and sys.stdout.isatty():
        parser.error("argument --raw: standard output is a terminal; redirect it, or add --force")
    if args.no_key and not args.json:
        parser.error("argument --no-key: goes with --json")
    derive = _like_record(parser, args) if args.like else _drawn_options(parser, args)
    output = Output(args.zero, ESCAPED_IN_SUMS)
    several = len(names) > 1
    stdin_image = StandardInputImage()
    failed = False

    def emit(outcome: Outcome) -> None:
        nonlocal failed
        emit_messages(outcome, show_warnings=True)
        failed |= outcome.verdict != "ok"
        write(outcome.output)

    with running(Jobs(min(args.jobs or default_jobs(), len(names)), emit)) as jobs:
        for name in names:
            source = Source(name, stdin_image)
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


_Derive = Callable[[_image.ImageSource], _host.Derivation]


def _drawn_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> _Derive:
    given = {name: getattr(args, "scheme_version" if name == "version" else name)
             for name in _options.DEFAULTS}
    try:
        options = _options.check_options(
            nonce=args.nonce if args.nonce is not None else secrets.token_bytes(16),
            timestamp=args.timestamp if args.timestamp is not None else int(time.time()),
            **{**_options.DEFAULTS,
               **{name: value for name, value in given.items() if value is not None}})
    except _options.OptionError as error:
        option = _OPTION_NAMES.get(error.option, "--" + error.option.replace("_", "-"))
        parser.error(f"argument {option}: {error.requirement}")
    if not args.json and (args.nonce is None or args.timestamp is None):
        # Drawn here, so the user needs them to derive the same keys again.
        say(f"nonce {options.nonce.hex()} timestamp {options.timestamp}", prefix="")
    return lambda image: _host.derive_checked(_image.load_for_derivation(image), options)


def _like_record(parser: argparse.ArgumentParser, args: argparse.Namespace) -> _Derive:
    given = [name for name in _INPUT_OPTIONS if getattr(args, name) is not None]
    if given:
        parser.error(f"argument --like: the record holds every input; not with "
                     f"--{given[0].replace('_', '-')}")
    try:
        with open(args.like, "rb") as file:
            lines = [line for line in file.read().splitlines() if line.strip()]
    except OSError as error:
        parser.error(f"argument --like: cannot read {args.like!r}: {reason(error)}")
    if len(lines) != 1:
        parser.error(f"argument --like: {args.like!r} must hold one record, not {len(lines)}")
    try:
        inputs = _host.Derivation.inputs_from_json(json_text(lines[0]))
    except ValueError as error:
        parser.error(f"argument --like: {args.like}: {error}")
    return inputs.derive


def _key_outcome(source: Source, derive: _Derive, args: argparse.Namespace, output: Output,
                 several: bool) -> Outcome:
    outcome = Outcome("ok")
    try:
        with warnings_into(outcome.warnings, source.label):
            with source.opened() as image:
                derivation = derive(image)
    except (OSError, MemoryError) as error:
        return Outcome("unreadable", errors=[unreadable(source.label, error)],
                        warnings=outcome.warnings)
    except ValueError as error:  # --like: not the recorded image
        return Outcome("mismatch", errors=[f"{source.label}: {error}"], warnings=outcome.warnings)
    except UNSERVED_THREADS as error:
        return Outcome("unchecked", errors=[unserved(source.label, error)],
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
