"""Images as the native walks expect them: 8-bit RGB, row 0 first."""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass
from typing import Union

from PIL import Image

ImageSource = Union[str, "os.PathLike[str]", Image.Image, "RgbImage", bytes]


@dataclass(frozen=True)
class RgbImage:
    """Pixels as width * height * 3 bytes: R, G, B per pixel, rows from the
    top, each row from the left."""

    pixels: bytes
    width: int
    height: int

    def __post_init__(self) -> None:
        if self.width < 1 or self.height < 1:
            raise ValueError(f"image size must be at least 1 x 1, not {self.width} x {self.height}")
        if len(self.pixels) != self.width * self.height * 3:
            raise ValueError(
                f"{self.width} x {self.height} RGB needs {self.width * self.height * 3} bytes, "
                f"got {len(self.pixels)}")

    @classmethod
    def from_bytes(cls, pixels: bytes, width: int, height: int) -> RgbImage:
        return cls(bytes(pixels), width, height)


def load_image(source: ImageSource, width: int | None = None,
               height: int | None = None) -> RgbImage:
    """Reads a file in any format Pillow knows (PNG, JPEG, PPM, ...), takes a
    Pillow image, or takes raw RGB bytes with their width and height, and
    gives 8-bit RGB. Raises OSError for a file that cannot be read or
    decoded, ValueError for raw bytes that do not fit the size."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        if width is None or height is None:
            raise ValueError("raw RGB bytes need a width and a height")
        return RgbImage.from_bytes(bytes(source), width, height)
    if width is not None or height is not None:
        raise ValueError("width and height go with raw RGB bytes only")
    if isinstance(source, RgbImage):
        return source
    if isinstance(source, Image.Image):
        return _from_pillow(source)
    with Image.open(source) as opened:
        return _from_pillow(opened)


def _from_pillow(image: Image.Image) -> RgbImage:
    rgb = image if image.mode == "RGB" else image.convert("RGB")
    return RgbImage(rgb.tobytes(), rgb.width, rgb.height)


def image_hash(image: RgbImage) -> bytes:
    """SHA3-256 of the RGB pixel bytes: the same picture keeps its hash (and
    its keys) through lossless re-encoding, and changes with any pixel."""
    return hashlib.sha3_256(image.pixels).digest()
