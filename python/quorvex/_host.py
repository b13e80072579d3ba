"""The typical road of one key: image → seed → walk → final key."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, Required, TypedDict, Unpack

import _quorvex_core as core

from ._image import ImageSource, RgbImage, image_hash, load_image
from ._threads import pin_thread_count

Walk = Literal["sha3", "blake3"]
Kdf = Literal["hkdf", "blake3"]

DEFAULT_VERSION = "quorvex-v2"
DEFAULT_STEPS = 2048
DEFAULT_LAYERS = 3
DEFAULT_INFO = b"quorvex-lintav-v2"
DEFAULT_CONTEXT = "quorvex-lin-tav-v1.0"
DEFAULT_KEY_SIZE = 32
KEY_SIZES = (16, 32, 64)


@dataclass(frozen=True)
class Derivation:
    """A key with every input that determines it. ``threads`` is the BLAKE3
    walk's thread count (None for the SHA3 walk, which does not depend on
    it)."""

    key: bytes
    image_hash: bytes
    width: int
    height: int
    nonce: bytes
    timestamp: int
    version: str
    walk: Walk
    kdf: Kdf
    steps: int
    layers: int
    threads: int | None
    info: bytes
    context: str
    key_size: int

    def to_json(self) -> dict[str, Any]:
        """The record as JSON-ready values, bytes in lowercase hex. Only the
        label of the chosen derivation (info for HKDF, context for BLAKE3)
        is included."""
        record: dict[str, Any] = {
            "image_hash": self.image_hash.hex(),
            "width": self.width,
            "height": self.height,
            "nonce": self.nonce.hex(),
            "timestamp": self.timestamp,
            "version": self.version,
            "walk": self.walk,
            "kdf": self.kdf,
            "steps": self.steps,
            "layers": self.layers,
            "threads": self.threads,
            "key_size": self.key_size,
        }
        if self.kdf == "hkdf":
            record["info"] = self.info.hex()
        else:
            record["context"] = self.context
        record["key"] = self.key.hex()
        return record


def derive(
    image: ImageSource,
    *,
    nonce: bytes,
    timestamp: int,
    version: str = DEFAULT_VERSION,
    walk: Walk = "sha3",
    kdf: Kdf = "hkdf",
    steps: int = DEFAULT_STEPS,
    layers: int = DEFAULT_LAYERS,
    info: bytes = DEFAULT_INFO,
    context: str = DEFAULT_CONTEXT,
    key_size: int = DEFAULT_KEY_SIZE,
    threads: int | None = None,
    width: int | None = None,
    height: int | None = None,
) -> Derivation:
    """Derives a key from an image and returns it with its inputs.

    ``image`` is a file path (PNG, JPEG, PPM or anything Pillow reads), a
    Pillow image, an RgbImage, or raw RGB bytes with ``width`` and
    ``height``. The nonce doubles as the HKDF salt. For the
    BLAKE3 walk the thread count is pinned for the whole process (see
    pin_thread_count); ``threads`` is ignored by the SHA3 walk.

    Raises ValueError for a bad walk, kdf, key size, step or layer count,
    OSError for an unreadable image, and ThreadCountError for a thread count
    other than the one this process is pinned to.
    """
    _check_choices(walk, kdf, key_size, steps, layers, timestamp)
    rgb = load_image(image, width, height)
    digest = image_hash(rgb)
    seed = bytes(core.generate_initial_seed(digest, nonce, timestamp, version))
    pinned: int | None = None
    if walk == "sha3":
        pool = core.execute_multilayer_sha3(seed, rgb.pixels, rgb.width, rgb.height, steps, layers)
    else:
        pinned = pin_thread_count(threads)
        pool = core.execute_multilayer_blake3(seed, rgb.pixels, rgb.width, rgb.height, steps, layers)
    if kdf == "hkdf":
        key = core.derive_key_hkdf(bytes(pool), nonce, info, key_size)
    else:
        key = core.derive_key_blake3(bytes(pool), context, key_size)
    return Derivation(bytes(key), digest, rgb.width, rgb.height, nonce, timestamp, version,
                      walk, kdf, steps, layers, pinned, info, context, key_size)


class DeriveOptions(TypedDict, total=False):
    """The keyword arguments of derive()."""

    nonce: Required[bytes]
    timestamp: Required[int]
    version: str
    walk: Walk
    kdf: Kdf
    steps: int
    layers: int
    info: bytes
    context: str
    key_size: int
    threads: int | None
    width: int | None
    height: int | None


def derive_key(image: ImageSource, **options: Unpack[DeriveOptions]) -> bytes:
    """The key of ``derive(image, **options)`` alone, as bytes."""
    return derive(image, **options).key


def _check_choices(walk: str, kdf: str, key_size: int, steps: int, layers: int,
                   timestamp: int) -> None:
    if walk not in ("sha3", "blake3"):
        raise ValueError(f"walk must be 'sha3' or 'blake3', not {walk!r}")
    if kdf not in ("hkdf", "blake3"):
        raise ValueError(f"kdf must be 'hkdf' or 'blake3', not {kdf!r}")
    if key_size not in KEY_SIZES:
        raise ValueError(f"key size must be 16, 32 or 64, not {key_size}")
    for name, value in (("steps", steps), ("layers", layers), ("timestamp", timestamp)):
        if not 0 <= value < 2**64:
            raise ValueError(f"{name} must be 0 to 2**64 - 1, not {value}")
