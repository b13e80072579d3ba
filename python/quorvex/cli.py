"""quorvex key [IMAGE ...]: derive keys from image files."""

from __future__ import annotations

import argparse
import json
import secrets
import sys
import time
from collections.abc import Sequence
from importlib import resources
from typing import Any

from . import _host
from ._threads import ThreadCountError

SAMPLE_IMAGE = "sample.png"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line and exit status 2, no usage dump
        self.exit(2, f"{self.prog}: error: {message}\n")


def _hex_bytes(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not hexadecimal bytes: {text!r}") from None


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be 0 to 2**64 - 1: {text}")
    return value


def _threads(text: str) -> int:
    value = _count(text)
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be 1 to 65535: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quorvex", description="Derive cryptographic keys from images.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    key = commands.add_parser(
        "key", help="derive a key from each image",
        description="Derive a key from each IMAGE (PNG, JPEG, PPM or any format Pillow "
                    "reads), or from the sample image shipped with quorvex. Without "
                    "--nonce or --timestamp a random nonce and the current time are used "
                    "and reported, so that the key can be derived again.")
    key.add_argument("images", nargs="*", metavar="IMAGE", help="image files")
    key.add_argument("--nonce", type=_hex_bytes, help="nonce in hex (default: 16 random bytes)")
    key.add_argument("--timestamp", type=_count, help="seconds since 1970 (default: now)")
    key.add_argument("--version", dest="scheme_version", default=_host.DEFAULT_VERSION,
                     help="scheme version string (default: %(default)s)")
    key.add_argument("--walk", choices=("sha3", "blake3"), default="sha3",
                     help="pixel walk (default: %(default)s)")
    key.add_argument("--kdf", choices=("hkdf", "blake3"), default="hkdf",
                     help="final key derivation (default: %(default)s)")
    key.add_argument("--steps", type=_count, default=_host.DEFAULT_STEPS,
                     help="walk steps per layer (default: %(default)s)")
    key.add_argument("--layers", type=_count, default=_host.DEFAULT_LAYERS,
                     help="walk layers (default: %(default)s)")
    key.add_argument("--info", type=_hex_bytes, default=_host.DEFAULT_INFO,
                     help="HKDF info label in hex (default: the hex of %s)"
                          % _host.DEFAULT_INFO.decode())
    key.add_argument("--context", default=_host.DEFAULT_CONTEXT,
                     help="BLAKE3 derive-key context (default: %(default)s)")
    key.add_argument("--key-size", type=int, choices=_host.KEY_SIZES,
                     default=_host.DEFAULT_KEY_SIZE, help="key bytes (default: %(default)s)")
    key.add_argument("--threads", type=_threads,
                     help="BLAKE3 walk threads (default: RAYON_NUM_THREADS or the CPUs "
                          "available); the key depends on it")
    key.add_argument("--json", action="store_true",
                     help="print every input that determines each key, and the key, as JSON")
    return parser


def _derive_all(args: argparse.Namespace) -> list[tuple[str, _host.Derivation]]:
    nonce = args.nonce if args.nonce is not None else secrets.token_bytes(16)
    timestamp = args.timestamp if args.timestamp is not None else int(time.time())
    derivations = []
    sample = resources.files("quorvex") / "data" / SAMPLE_IMAGE
    for name in args.images or [None]:
        with resources.as_file(sample) as sample_path:
            source = name if name is not None else sample_path
            try:
                derivation = _host.derive(
                    source, nonce=nonce, timestamp=timestamp, version=args.scheme_version,
                    walk=args.walk, kdf=args.kdf, steps=args.steps, layers=args.layers,
                    info=args.info, context=args.context, key_size=args.key_size,
                    threads=args.threads)
            except OSError as error:
                raise _UserError(f"cannot read image {str(source)!r}: {error}") from None
        derivations.append((name if name is not None else f"(sample) {SAMPLE_IMAGE}", derivation))
    return derivations


class _UserError(Exception):
    pass


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        derivations = _derive_all(args)
    except (_UserError, ThreadCountError, ValueError) as error:
        print(f"quorvex: error: {error}", file=sys.stderr)
        return 1
    if not args.json and (args.nonce is None or args.timestamp is None):
        # Drawn here, so the user needs them to derive the same key again.
        first = derivations[0][1]
        print(f"nonce {first.nonce.hex()} timestamp {first.timestamp}", file=sys.stderr)
    if args.json:
        records = [dict(image=name, **d.to_json()) for name, d in derivations]
        print(json.dumps(records[0] if len(records) == 1 else records, indent=2))
    elif len(derivations) == 1:
        print(derivations[0][1].key.hex())
    else:
        for name, derivation in derivations:
            print(f"{derivation.key.hex()}  {name}")
    return 0
