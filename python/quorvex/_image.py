"""Images as the native walks expect them: 8-bit RGB, row 0 first."""

from __future__ import annotations

import mmap
import os
import queue
import threading
import warnings
from collections.abc import Buffer, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib import resources
from typing import IO, Callable, Union

from PIL import Image, ImageFile

from . import _engine
from ._options import U64_MAX, byte_string, whole_number

ImageSource = Union[str, "os.PathLike[str]", IO[bytes], Image.Image, "RgbImage", Buffer]

SAMPLE_IMAGE = "sample.png"

# What Pillow raises for a damaged or hostile file besides OSError: a
# ValueError from some decoders (a PPM header cut short or with a bad
# maximum value), a SyntaxError for a broken PNG chunk, and DecompressionBombError for a size far beyond
# Image.MAX_IMAGE_PIXELS. Both are the file's fault and reach the caller as
# OSError, like a file that cannot be opened.
_DECODER_FAULTS = (ValueError, SyntaxError, Image.DecompressionBombError)

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


@dataclass(frozen=True)
class LoadedImage:
    """What a derivation reads of an image: its packed RGB pixels (any
    bytes-like object), its size and its image hash."""

    pixels: Buffer
    width: int
    height: int
    image_hash: bytes


def load_for_derivation(source: ImageSource, width: int | None = None,
                        height: int | None = None) -> LoadedImage:
    """load_image()'s pixels with their image hash. A JPEG or PNG file is
    decoded into memory of our own and packed there, hashed on the way: no
    second copy of the image is made. Raises what load_image raises."""
    if isinstance(source, (str, os.PathLike)) or (
            hasattr(source, "read") and not isinstance(source, (Buffer, Image.Image, RgbImage))):
        if width is not None or height is not None:
            raise ValueError("width and height go with raw RGB bytes only")
        return _decode_packed(source)
    return _hashed(load_image(source, width, height))


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
    its keys) through lossless re-encoding, and changes with any pixel.
    Computed without the interpreter lock."""
    return _engine.sha3_256(image.pixels)


@contextmanager
def _opened(source: str | os.PathLike[str] | IO[bytes]) -> Iterator[Image.Image]:
    """Image.open(source) for the block, with a damaged file's faults, while
    opening or decoding, raised as OSError."""
    try:
        with Image.open(source) as opened:
            yield opened
    except _DECODER_FAULTS as fault:
        raise OSError(f"cannot decode the image: {fault}") from fault


def _decode(source: str | os.PathLike[str] | IO[bytes]) -> RgbImage:
    with _opened(source) as opened:
        return _from_pillow(opened)


def _hashed(rgb: RgbImage) -> LoadedImage:
    return LoadedImage(rgb.pixels, rgb.width, rgb.height, image_hash(rgb))


def _from_pillow(image: Image.Image, *, warn: bool = True) -> RgbImage:
    if warn:
        _warn_about_dropped_input(image)
    rgb = image if image.mode == "RGB" else image.convert("RGB")
    return RgbImage(rgb.tobytes(), rgb.width, rgb.height)


# Formats whose Pillow plugin decodes, on load(), into the image memory it
# finds in place; modes that Pillow keeps as 4 bytes a pixel, R, G, B first.
_DECODED_IN_PLACE = frozenset({"JPEG", "PNG"})
_FOUR_BYTE_MODES = frozenset({"RGB", "RGBA", "RGBX"})


def _decode_packed(source: str | os.PathLike[str] | IO[bytes]) -> LoadedImage:
    with _opened(source) as opened:
        _warn_about_dropped_input(opened)
        loaded = _decoded_into_our_memory(opened)
        return loaded if loaded is not None else _hashed(_from_pillow(opened, warn=False))


def _decoded_into_our_memory(opened: Image.Image) -> LoadedImage | None:
    """Decodes an RGB or RGBA JPEG or PNG into a buffer of ours (Pillow's
    4-byte pixels, mapped by Image.frombuffer), then packs it to 3-byte RGB
    in place while hashing it: no tobytes() copy and its join. None when
    the file is of another kind, or its loader made memory of its own."""
    if (opened.format not in _DECODED_IN_PLACE or opened.mode not in _FOUR_BYTE_MODES
            or getattr(opened, "n_frames", 1) != 1 or not getattr(opened, "tile", None)
            or getattr(opened, "_im", None) is not None):
        return None
    width, height = opened.size
    # Anonymous memory reads as zeros until written and costs nothing
    # before: rows a damaged file never decodes are black, as in Pillow's
    # own memory, never leftovers of the heap.
    memory = mmap.mmap(-1, width * height * 4)
    layout = "RGBA" if opened.mode == "RGBA" else "RGBX"
    # Pillow maps any writable buffer; its stubs name only bytes and bytearray.
    mapped = Image.frombuffer(layout, opened.size, memory,  # type: ignore[arg-type]
                              "raw", layout, 0, 1)
    opened.im = mapped.im
    if isinstance(opened, ImageFile.ImageFile) and _rows_come_in_order(opened):
        digest = _load_hashing_rows_meanwhile(opened, memory)
    else:
        opened.load()
        digest = None
    if opened.im is not mapped.im:
        return None  # the loader replaced the memory: the pixels are in its own
    del mapped
    opened.close()  # lets go of the mapping before the memory is rewritten
    if digest is None:
        digest = _engine.pack_rgb_in_place(memory, width * height)
    return LoadedImage(memoryview(memory)[:width * height * 3], width, height, digest)


# Below this many pixels a second thread costs more than it saves.
_ROWS_MEANWHILE_PIXELS = 1 << 20


def _rows_come_in_order(opened: Image.Image) -> bool:
    """Whether the decoder writes whole RGB rows top to bottom, with the pad
    byte 255 that marks a finished row (an interlaced PNG fills its rows in
    seven passes; RGBA has no pad byte)."""
    return (opened.mode == "RGB" and not opened.info.get("interlace")
            and opened.width * opened.height >= _ROWS_MEANWHILE_PIXELS)


class _ReadsReported:
    """The file object of an image being loaded, reporting each read: Pillow
    reads a piece of the file between two decoder calls, so at a read the
    decoder is stopped and its finished rows can be handed on."""

    def __init__(self, file: IO[bytes], on_read: Callable[[], None]) -> None:
        self._file = file
        self._on_read = on_read

    def read(self, size: int = -1) -> bytes:
        self._on_read()
        return self._file.read(size)

    def __getattr__(self, name: str) -> object:
        return getattr(self._file, name)


def _load_hashing_rows_meanwhile(opened: ImageFile.ImageFile, memory: mmap.mmap) -> bytes:
    """Loads the image while another thread packs and hashes the rows the
    decoder has finished; returns the image hash. The decode and the hash,
    each on its own core, take about as long as the slower of the two."""
    packer = _engine.row_packer(memory, opened.width, opened.height)
    finished = queue.SimpleQueue[int | None]()
    failures: list[BaseException] = []
    seen = 0

    def report_rows() -> None:
        nonlocal seen
        rows = _engine.decoded_rows(packer, seen)
        if rows > seen:
            seen = rows
            finished.put(rows)

    def pack_finished_rows() -> None:
        try:
            while (rows := finished.get()) is not None:
                _engine.pack_rows(packer, rows)
        except BaseException as failure:  # handed to the loading thread
            failures.append(failure)

    packing = threading.Thread(target=pack_finished_rows, name="quorvex row hashing")
    packing.start()
    original = opened.fp
    assert original is not None  # an image not loaded yet has its file
    try:
        opened.fp = _ReadsReported(original, report_rows)  # type: ignore[assignment]
        opened.load()
    finally:
        finished.put(None)  # first: nothing may keep the packing thread waiting
        if opened.fp is not None:
            opened.fp = original
        packing.join()
    if failures:
        raise failures[0]
    return _engine.finish_rows(packer)


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
