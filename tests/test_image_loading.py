"""Images decoded for a derivation: JPEG and PNG files go into memory of the
package's own and are packed there, others through Pillow's tobytes(); both
roads must give load_image()'s pixels and hashlib's SHA3-256 of them."""
import hashlib
import io
import os
import random
import warnings

import pytest
from PIL import Image

import quorvex
from quorvex import _engine as engine
from quorvex import _image

SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitize"


def noisy(mode, width, height, seed=1):
    rng = random.Random(seed)
    bands = len(Image.new(mode, (1, 1)).getbands())
    image = Image.frombytes("RGBA" if bands == 4 else "RGB" if bands == 3 else "L",
                            (width, height), rng.randbytes(width * height * max(bands, 1)))
    return image if image.mode == mode else image.convert(mode)


CASES = {
    "jpeg-rgb": (lambda: noisy("RGB", 67, 41), "JPEG", {}),
    "jpeg-progressive": (lambda: noisy("RGB", 130, 9), "JPEG", {"progressive": True}),
    "jpeg-grey": (lambda: noisy("L", 31, 17), "JPEG", {}),
    "jpeg-cmyk": (lambda: noisy("CMYK", 23, 29), "JPEG", {}),
    "png-rgb": (lambda: noisy("RGB", 97, 13), "PNG", {}),
    "png-rgba": (lambda: noisy("RGBA", 19, 37), "PNG", {}),
    "png-interlaced": (lambda: noisy("RGB", 33, 35), "PNG", {"interlace": 1}),
    "png-palette": (lambda: noisy("RGB", 25, 14).convert("P"), "PNG", {}),
    "png-grey": (lambda: noisy("L", 40, 3), "PNG", {}),
    "png-one-pixel": (lambda: noisy("RGB", 1, 1), "PNG", {}),
    "png-transparent-colour": (lambda: noisy("RGB", 10, 10), "PNG", {"transparency": (1, 2, 3)}),
    "bmp-rgb": (lambda: noisy("RGB", 14, 6), "BMP", {}),
}


def encoded(case):
    make, fmt, options = CASES[case]
    buffer = io.BytesIO()
    make().save(buffer, fmt, **options)
    return buffer.getvalue()


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("as_file", [False, True], ids=["path", "file-object"])
def test_every_road_gives_load_images_pixels_and_their_hash(tmp_path, case, as_file):
    path = tmp_path / "image"
    path.write_bytes(encoded(case))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvex.DroppedInputWarning)
        expected = quorvex.load_image(str(path))
        source = open(path, "rb") if as_file else path
        try:
            loaded = _image.load_for_derivation(source)
        finally:
            if as_file:
                source.close()
    assert (bytes(loaded.pixels), loaded.width, loaded.height) == \
        (expected.pixels, expected.width, expected.height)
    assert loaded.image_hash == hashlib.sha3_256(expected.pixels).digest()


def test_rgb_jpeg_and_png_take_the_in_place_road(tmp_path, monkeypatch):
    """The road that avoids tobytes() is the one taken where it can be."""
    def refused(*args, **kwargs):
        raise AssertionError("tobytes() was called")

    monkeypatch.setattr(Image.Image, "tobytes", refused)
    for case in ("jpeg-rgb", "png-rgba", "png-interlaced"):
        path = tmp_path / case
        path.write_bytes(encoded(case))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quorvex.DroppedInputWarning)
            loaded = _image.load_for_derivation(path)
        assert isinstance(loaded.pixels, memoryview)


def test_derive_of_a_file_is_derive_of_its_pixels(tmp_path):
    path = tmp_path / "photo.jpg"
    path.write_bytes(encoded("jpeg-rgb"))
    rgb = quorvex.load_image(path)
    for walk in ("sha3", "blake3"):
        from_file = quorvex.derive(path, nonce=b"n", timestamp=1, walk=walk, steps=300, threads=3)
        from_pixels = quorvex.derive(rgb, nonce=b"n", timestamp=1, walk=walk, steps=300, threads=3)
        assert from_file == from_pixels
        from_file.verify(path)


def test_a_truncated_file_is_an_os_error(tmp_path):
    path = tmp_path / "cut.png"
    path.write_bytes(encoded("png-rgb")[:200])
    with pytest.raises(OSError):
        quorvex.derive(path, nonce=b"n", timestamp=1)


@pytest.mark.parametrize("pixels", [0, 1, 2, 3, 5, 65535, 65536, 65537, 2 * 65536 + 7, 700_001])
def test_packing_in_place_at_piece_boundaries(pixels):
    rng = random.Random(pixels)
    four = rng.randbytes(pixels * 4)
    packed = b"".join(four[i:i + 3] for i in range(0, len(four), 4))
    memory = bytearray(four)
    digest = engine.pack_rgb_in_place(memory, pixels)
    assert bytes(memory[:pixels * 3]) == packed
    assert digest == hashlib.sha3_256(packed).digest()


def test_packing_refuses_a_buffer_too_short_or_read_only():
    with pytest.raises(RuntimeError, match="index out of bounds"):
        engine.pack_rgb_in_place(bytearray(11), 3)
    with pytest.raises(BufferError):
        engine.pack_rgb_in_place(bytes(12), 3)
