"""Images as the native walks expect them: 8-bit RGB, row 0 first."""

from __future__ import annotations

import hashlib
import os
import warnings
from collections.abc import Buffer
from dataclasses import dataclass, field
from importlib import resources
from typing import IO, Union

from PIL import Image

from ._options import U64_MAX, byte_string, whole_number

ImageSource = Union[str, "os.PathLike[str]", IO[bytes], Image.Image, "RgbImage", Buffer]

SAMPLE_IMAGE = "sample.png"

# What Pillow raises for a damaged or hostile file besides OSError: a
# ValueError from some decoders (a PPM header cut short or with a bad
# maximum value) and DecompressionBombError for a size far beyond
# Image.MAX_IMAGE_PIXELS. Both are the file's fault and reach the caller as
# OSError, like a file that cannot be opened.
_DECODER_FAULTS = (ValueError, Image.DecompressionBombError)

_PACKAGE_DIRECTORY = os.path.dirname(__file__)


class DroppedInputWarning(UserWarning):
    """Part of the image does not enter the key: its alpha channel, or the
    frames of an animated or multi-page image other than the current one."""


@dataclass(frozen=True)
class RgbImage:
    """Pixels as width * height * 3 bytes: R, G, B per pixel, rows from the
    top, each row from the left. Its repr shows the size, never the pixels
    (a 20-megapixel photo is 60 MB of them)."""

    pixels: bytes = field(repr=False)
    width: int
    height: int

    def __post_init__(self) -> None:
        if not isinstance(self.pixels, bytes):
            raise TypeError(f"pixels must be bytes, not {type(self.pixels).__name__}")
        whole_number("width", self.width, 1, U64_MAX)
        whole_number("height", self.height, 1, U64_MAX)
        if len(self.pixels) != self.width * self.height * 3:
            raise ValueError(
                f"{self.width} x {self.height} RGB needs {self.width * self.height * 3} bytes, "
                f"got {len(self.pixels)}")

    @classmethod
    def from_bytes(cls, pixels: Buffer, width: int, height: int) -> RgbImage:
        """From any bytes-like object, copied once."""
        return cls(byte_string("pixels", pixels), width, height)


def load_image(source: ImageSource, width: int | None = None,
               height: int | None = None) -> RgbImage:
    """8-bit RGB from a file path or a binary file object in any format
    Pillow reads (PNG, JPEG, PPM, ...), a Pillow image, an RgbImage, or raw
    RGB bytes (any bytes-like object) with their width and height.

    The conversion keeps R, G and B only: an alpha channel is dropped, and
    of an animated or multi-page image only the current frame (the first of
    a file) is read. Both are reported with a DroppedInputWarning.

    Raises OSError for a file that cannot be read or decoded (a decompression
    bomb included), ValueError for raw bytes that do not fit the size, and
    TypeError for anything else.
    """
    if isinstance(source, Buffer):
        if width is None or height is None:
            raise ValueError("raw RGB bytes need a width and a height")
        return RgbImage.from_bytes(source, width, height)
    if width is not None or height is not None:
        raise ValueError("width and height go with raw RGB bytes only")
    if isinstance(source, RgbImage):
        return source
    if isinstance(source, Image.Image):
        return _from_pillow(source)
    if not isinstance(source, (str, os.PathLike)) and not hasattr(source, "read"):
        raise TypeError(f"image must be a path, a binary file, a Pillow image, an RgbImage or "
                        f"bytes-like raw RGB, not {type(source).__name__}")
    return _decode(source)


def is_raw_pixels(source: object) -> bool:
    """Whether load_image takes ``source`` as raw RGB bytes."""
    return isinstance(source, Buffer)


def sample_image() -> RgbImage:
    """The sample image shipped with quorvex (what ``quorvex key`` uses
    without an image)."""
    with resources.as_file(resources.files(__package__) / "data" / SAMPLE_IMAGE) as path:
        return load_image(path)


def image_hash(image: RgbImage) -> bytes:
    """SHA3-256 of the RGB pixel bytes: the same picture keeps its hash (and
    its keys) through lossless re-encoding, and changes with any pixel."""
    return hashlib.sha3_256(image.pixels).digest()


def _decode(source: str | os.PathLike[str] | IO[bytes]) -> RgbImage:
    try:
        with Image.open(source) as opened:
            return _from_pillow(opened)
    except _DECODER_FAULTS as fault:
        raise OSError(f"cannot decode the image: {fault}") from fault


def _from_pillow(image: Image.Image) -> RgbImage:
    _warn_about_dropped_input(image)
    rgb = image if image.mode == "RGB" else image.convert("RGB")
    return RgbImage(rgb.tobytes(), rgb.width, rgb.height)


def _warn_about_dropped_input(image: Image.Image) -> None:
    dropped = []
    if image.has_transparency_data:
        dropped.append("its transparency (alpha channel) is discarded")
    frames = getattr(image, "n_frames", 1)
    if frames > 1:
        dropped.append(f"only one of its {frames} frames is read")
    if dropped:
        # Attributed to the caller's line, not to this package.
        warnings.warn("; ".join(dropped), DroppedInputWarning,
                      skip_file_prefixes=(_PACKAGE_DIRECTORY,))
