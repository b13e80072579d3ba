"""The typical road of one key: image → seed → walk → final key; and the
record of a key, which lets it be checked later."""

from __future__ import annotations

import functools
import hmac
import inspect
import json
import re
from collections.abc import Buffer, Mapping
from dataclasses import dataclass, field, fields
from typing import Any, Required, TypedDict, Unpack

from . import _engine as engine
from ._image import (
    ImageSource,
    LoadedImage,
    RgbImage,
    image_hash,
    is_raw_pixels,
    load_for_derivation,
)
from ._options import (
    DEFAULT_CONTEXT,
    DEFAULT_INFO,
    DEFAULT_KDF,
    DEFAULT_KEY_SIZE,
    DEFAULT_LAYERS,
    DEFAULT_STEPS,
    DEFAULT_VERSION,
    DEFAULT_WALK,
    KDFS,
    U64_MAX,
    Kdf,
    Options,
    Walk,
    check_options,
    choice,
    whole_number,
)

# How the engine's failure starts when its worker pool could not start its
# threads.
_POOL_FAILURE = "The global thread pool has not been initialized."
_HEX = re.compile(r"(?:[0-9a-fA-F]{2})*")
_IMAGE_HASH_SIZE = 32


class KeyMismatchError(Exception):
    """Derivation.verify derived a key other than the recorded one."""


class WorkerPoolError(RuntimeError):
    """The BLAKE3 walk's worker pool (one thread per CPU) could not start its
    threads. The pool is made once per process: every later BLAKE3 walk in
    it fails the same way."""


@dataclass(frozen=True, kw_only=True)
class Derivation(Options):
    """A key with every input that determines it, built by keyword.

    ``threads`` is the thread count the BLAKE3 walk ran with (None for the
    SHA3 walk, which does not depend on it). Both labels are kept, but only
    the one the KDF uses (``info`` for HKDF, ``context`` for BLAKE3) enters
    the key and the record.
    """

    key: bytes = field(repr=False)  # secret: kept out of logs and tracebacks
    image_hash: bytes
    width: int
    height: int

    def to_json(self, *, include_key: bool = True) -> dict[str, Any]:
        """The record of this key, JSON-ready: ``{"inputs": {...}, "key": hex}``.

        ``inputs`` holds the public inputs (bytes in lowercase hex, the scheme
        version as ``scheme_version``), ``key`` the secret key; it is left out
        with ``include_key=False``, for records that are stored or shared.
        """
        inputs: dict[str, Any] = {
            "image_hash": self.image_hash.hex(),
            "width": self.width,
            "height": self.height,
            "nonce": self.nonce.hex(),
            "timestamp": self.timestamp,
            "scheme_version": self.version,
            "walk": self.walk,
            "kdf": self.kdf,
            "steps": self.steps,
            "layers": self.layers,
            "threads": self.threads,
            "key_size": self.key_size,
        }
        if self.kdf == "hkdf":
            inputs["info"] = self.info.hex()
        else:
            inputs["context"] = self.context
        record: dict[str, Any] = {"inputs": inputs}
        if include_key:
            record["key"] = self.key.hex()
        return record

    @classmethod
    def from_json(cls, record: Mapping[str, Any] | str) -> Derivation:
        """The Derivation of a record made by to_json() or by ``quorvex key
        --json`` (a mapping, or its JSON text). The record's ``image`` entry,
        if any, is ignored. Raises ValueError for anything else, a record
        written without its key included (see inputs_from_json).
        """
        entries = _record_entries(record)
        if "key" not in entries:
            raise ValueError("not a quorvex key record: it holds no key (it was written "
                             "without one)")
        inputs = _recorded_inputs(entries)
        try:
            key = _from_hex("key", entries["key"])
            if len(key) != inputs.key_size:
                raise ValueError(f"key must be key_size ({inputs.key_size}) bytes, not {len(key)}")
        except ValueError as error:
            raise ValueError(f"not a quorvex key record: {error}") from None
        return _derivation(inputs, key=key, image_hash=inputs.image_hash, threads=inputs.threads,
                           width=inputs.width, height=inputs.height)

    @staticmethod
    def inputs_from_json(record: Mapping[str, Any] | str) -> RecordedInputs:
        """The inputs of a record, with or without its key (a record written
        with ``include_key=False`` or ``--no-key``): everything but the key,
        and ``.derive(image)`` to derive the key again. Raises ValueError for
        anything that is not a record.
        """
        return _recorded_inputs(_record_entries(record))

    def verify(self, image: ImageSource) -> None:
        """Derives the key again from ``image`` with the recorded inputs
        (thread count included) and compares it with the recorded key in
        constant time. Returns None when they are equal and raises
        KeyMismatchError when they are not.

        Raw RGB bytes are taken with the recorded width and height. Records
        of any thread count verify in any process. Raises OSError for an
        unreadable image. Safe to call from several threads at once; the
        work runs without the interpreter lock.
        """
        again = _derive_recorded(image, self)
        if not hmac.compare_digest(again.key, self.key):
            cause = "" if again.image_hash == self.image_hash else \
                " (the image's pixels are not the recorded ones)"
            raise KeyMismatchError(f"the image does not give the recorded key{cause}")


_INPUT_ENTRIES = frozenset({"image_hash", "width", "height", "nonce", "timestamp",
                            "scheme_version", "walk", "kdf", "steps", "layers", "threads",
                            "key_size"})


@dataclass(frozen=True, kw_only=True)
class RecordedInputs(Options):
    """Every input of a recorded key but the key itself: the options, and
    the hash and size of the image it was derived from."""

    image_hash: bytes
    width: int
    height: int

    def derive(self, image: ImageSource) -> Derivation:
        """Derives the key again from ``image`` with these inputs (raw RGB
        bytes are taken with the recorded width and height). Raises
        ValueError when the image's pixels are not the recorded ones (its
        hash differs), and what derive() raises.
        """
        derivation = _derive_recorded(image, self)
        if not hmac.compare_digest(derivation.image_hash, self.image_hash):
            raise ValueError("the image's pixels are not the recorded ones")
        return derivation


def recorded_image(record: Mapping[str, Any], *, standard_input: bool) -> str | None:
    """A record's ``image`` entry: the file name its key was derived from, or
    None for the sample image; "-" (standard input) only where
    ``standard_input`` allows it. Raises ValueError for anything else."""
    image = record.get("image")
    if (image is not None and not isinstance(image, str)) or \
            (image == "-" and not standard_input):
        raise ValueError("image must be a file name or null (the sample image)")
    return image


def _record_entries(record: object) -> Mapping[str, Any]:
    try:
        parsed = json.loads(record) if isinstance(record, str) else record
        return _entries("record", parsed, required={"inputs"}, optional={"image", "key"})
    except RecursionError:  # json's own limit on nesting
        raise ValueError("not a quorvex key record: nested too deeply") from None
    except (TypeError, ValueError) as error:
        raise ValueError(f"not a quorvex key record: {error}") from None


def _recorded_inputs(entries: Mapping[str, Any]) -> RecordedInputs:
    try:
        inputs = _entries("inputs", entries["inputs"], required=_INPUT_ENTRIES,
                          optional={"info", "context"})
        kdf = choice("kdf", inputs["kdf"], KDFS)
        label = "info" if kdf == "hkdf" else "context"
        if set(inputs) != _INPUT_ENTRIES | {label}:
            raise ValueError(f"inputs of the {kdf} kdf hold {label} and no other label")
        options = check_options(
            nonce=_from_hex("nonce", inputs["nonce"]), timestamp=inputs["timestamp"],
            version=inputs["scheme_version"], walk=inputs["walk"], kdf=kdf,
            steps=inputs["steps"], layers=inputs["layers"],
            info=_from_hex("info", inputs["info"]) if kdf == "hkdf" else DEFAULT_INFO,
            context=inputs["context"] if kdf == "blake3" else DEFAULT_CONTEXT,
            key_size=inputs["key_size"], threads=inputs["threads"])
        if (options.walk == "blake3") != (options.threads is not None):
            raise ValueError("threads must be a count for the BLAKE3 walk and null for the SHA3 walk")
        digest = _from_hex("image_hash", inputs["image_hash"])
        if len(digest) != _IMAGE_HASH_SIZE:
            raise ValueError(f"image_hash must be {_IMAGE_HASH_SIZE} bytes, not {len(digest)}")
        return RecordedInputs(**_option_values(options), image_hash=digest,
                              width=whole_number("width", inputs["width"], 1, U64_MAX),
                              height=whole_number("height", inputs["height"], 1, U64_MAX))
    except (TypeError, ValueError) as error:
        raise ValueError(f"not a quorvex key record: {error}") from None


def derive(
    image: ImageSource,
    *,
    nonce: Buffer,
    timestamp: int,
    version: str = DEFAULT_VERSION,
    walk: Walk = DEFAULT_WALK,
    kdf: Kdf = DEFAULT_KDF,
    steps: int = DEFAULT_STEPS,
    layers: int = DEFAULT_LAYERS,
    info: Buffer = DEFAULT_INFO,
    context: str = DEFAULT_CONTEXT,
    key_size: int = DEFAULT_KEY_SIZE,
    threads: int | None = None,
    width: int | None = None,
    height: int | None = None,
) -> Derivation:
    """Derives a key from an image and returns it with its inputs.

    ``image`` is a file path or binary file (PNG, JPEG, PPM or anything
    Pillow reads), a Pillow image, an RgbImage, or raw RGB bytes with
    ``width`` and ``height``; it is converted to 8-bit RGB, which drops an
    alpha channel and every frame but one (see load_image).

    ``nonce`` (not empty; also the HKDF salt) and ``info`` take any
    bytes-like object; ``version`` is the scheme version string; ``walk`` is
    "sha3" or "blake3"; ``kdf`` is "hkdf" or "blake3"; ``steps`` and
    ``layers`` are at least 1; ``key_size`` is 16, 32 or 64. ``threads``
    is the BLAKE3 walk's chunk count per layer (1 to MAX_THREADS; any count
    in any process, walked on one thread per CPU), by default the thread
    count _quorvex_core's worker pool would take in this process
    (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, the CPUs this process may use);
    the SHA3 walk ignores it.

    The work runs without the interpreter lock: other Python threads, and an
    asyncio loop that awaits ``asyncio.to_thread(derive, ...)``, go on
    meanwhile; several threads may derive at once.

    Raises TypeError for an argument of the wrong type, ValueError for a bad
    value, OSError for an unreadable image, and WorkerPoolError when the
    BLAKE3 walk's threads cannot be started.
    """
    options = check_options(nonce=nonce, timestamp=timestamp, version=version, walk=walk,
                            kdf=kdf, steps=steps, layers=layers, info=info, context=context,
                            key_size=key_size, threads=threads)
    return derive_checked(load_for_derivation(image, width, height), options)


class DeriveOptions(TypedDict, total=False):
    """The keyword arguments of derive()."""

    nonce: Required[Buffer]
    timestamp: Required[int]
    version: str
    walk: Walk
    kdf: Kdf
    steps: int
    layers: int
    info: Buffer
    context: str
    key_size: int
    threads: int | None
    width: int | None
    height: int | None


def derive_key(image: ImageSource, **options: Unpack[DeriveOptions]) -> bytes:
    """Derives a key from an image and returns it alone, as bytes: the key of
    ``derive(image, ...)``.

    ``image`` is a file path or binary file (PNG, JPEG, PPM or anything
    Pillow reads), a Pillow image, an RgbImage, or raw RGB bytes with
    ``width`` and ``height``. It is converted to 8-bit RGB: an alpha channel
    and every frame but the first are dropped, with a DroppedInputWarning.
    The picture is the only secret input; every other one is public and
    goes into the key's record (see derive and Derivation.to_json).

    Keywords (``nonce`` and ``timestamp`` are required):

    - ``nonce``: bytes-like, not empty; also the HKDF salt. A fresh random
      value (``secrets.token_bytes(16)``) per key; keep it to derive the
      key again.
    - ``timestamp``: int, 0 to 2**64 - 1, seconds since 1970 by convention.
    - ``version``: the scheme version string bound into the seed
      (default "quorvex-v2").
    - ``walk``: "sha3" (the reference walk, default) or "blake3" (parallel).
    - ``kdf``: "hkdf" (HKDF-SHA256, default) or "blake3".
    - ``steps``, ``layers``: walk steps per layer and layers, each at least
      1 (default 2048 and 3); the SHA3 walk takes at most 2**58 - 1 steps.
    - ``info``: bytes-like HKDF info label (default b"quorvex-lintav-v2").
    - ``context``: the BLAKE3 derive-key context (default
      "quorvex-lin-tav-v1.0").
    - ``key_size``: 16, 32 (default) or 64 bytes; a shorter key is a prefix
      of a longer one from the same inputs.
    - ``threads``: the BLAKE3 walk's chunk count, 1 to 65535 (default: what
      the worker pool would take); the key depends on it. Ignored by the
      SHA3 walk.
    - ``width``, ``height``: the size of raw RGB bytes, and only of them.

    Raises TypeError for an argument of the wrong type, OptionError (a
    ValueError) for a value out of range, ValueError for raw bytes that do
    not fit the size, OSError for an image that cannot be read or decoded,
    and WorkerPoolError when the BLAKE3 walk's threads cannot be started.
    """
    return derive(image, **options).key


# help() and inspect show derive_key with derive's keywords, not **options.
setattr(derive_key, "__signature__",
        inspect.signature(derive).replace(return_annotation="bytes"))


def derive_checked(rgb: RgbImage | LoadedImage, options: Options) -> Derivation:
    """The derivation of an image already loaded, with checked options."""
    digest = rgb.image_hash if isinstance(rgb, LoadedImage) else image_hash(rgb)
    threads: int | None = None
    if options.walk == "blake3":
        threads = options.threads if options.threads is not None else default_thread_count()
    label = options.info if options.kdf == "hkdf" else options.context
    # One native call: the seed and the entropy pool stay in memory that is
    # wiped, never in bytes objects that the interpreter frees as they are.
    try:
        key = engine.derive(digest, options.nonce, options.timestamp, options.version,
                            rgb.pixels, rgb.width, rgb.height, options.walk, options.steps,
                            options.layers, threads, options.kdf, label, options.key_size)
    except RuntimeError as error:
        if str(error).startswith(_POOL_FAILURE):
            raise WorkerPoolError(str(error)) from error
        raise
    return _derivation(options, key=key, image_hash=digest, width=rgb.width,
                       height=rgb.height, threads=threads)


@functools.cache
def default_thread_count() -> int:
    """The BLAKE3 walk's default chunk count: the thread count
    _quorvex_core's worker pool takes in this process, asked of the pool's
    own rule (RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs this
    process may use within its control group's quota). Decided once per
    process, as the pool's size is."""
    return engine.pool_thread_count()


def _derivation(options: Options, *, key: bytes, image_hash: bytes, width: int, height: int,
                threads: int | None) -> Derivation:
    chosen = {**_option_values(options), "threads": threads}
    return Derivation(**chosen, key=key, image_hash=image_hash, width=width, height=height)


def _option_values(options: Options) -> dict[str, Any]:
    """The Options fields of ``options`` (a Derivation's or a record's too)."""
    return {field.name: getattr(options, field.name) for field in fields(Options)}


def _derive_recorded(image: ImageSource, inputs: Derivation | RecordedInputs) -> Derivation:
    """The key of ``image`` with recorded inputs; raw RGB bytes are taken
    with the recorded width and height."""
    size = (inputs.width, inputs.height) if is_raw_pixels(image) else (None, None)
    return derive_checked(load_for_derivation(image, *size), inputs)


def _entries(name: str, value: object, *, required: set[str] | frozenset[str],
             optional: set[str]) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a JSON object, not {type(value).__name__}")
    missing = sorted(required - set(value))
    unknown = sorted(set(value) - required - optional)
    if missing or unknown:
        raise ValueError(f"{name} lacks {missing}" if missing else f"{name} has unknown {unknown}")
    return value


def _from_hex(name: str, value: object) -> bytes:
    if not isinstance(value, str) or not _HEX.fullmatch(value):
        raise ValueError(f"{name} must be hexadecimal bytes")
    return bytes.fromhex(value)
