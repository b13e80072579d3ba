"""Images decoded for a derivation: JPEG and PNG files go into memory of the
package's own and are packed there, others through Pillow's tobytes(); both
roads must give load_image()'s pixels and hashlib's SHA3-256 of them."""
import hashlib
import io
import os
import random
import threading
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


@pytest.mark.parametrize("case", ["jpeg-rgb", "jpeg-progressive", "png-rgb", "png-rgba",
                                  "png-interlaced", "png-one-pixel"])
def test_rows_hashed_while_decoding_give_the_same_pixels_and_hash(tmp_path, monkeypatch, case):
    """The road that hashes finished rows on a second thread while the
    decoder goes on (taken for large RGB images; here for every size)."""
    monkeypatch.setattr(_image, "_ROWS_MEANWHILE_PIXELS", 0)
    path = tmp_path / "image"
    path.write_bytes(encoded(case))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvex.DroppedInputWarning)
        expected = quorvex.load_image(path)
        loaded = _image.load_for_derivation(path)
    assert bytes(loaded.pixels) == expected.pixels
    assert loaded.image_hash == hashlib.sha3_256(expected.pixels).digest()


def test_rows_are_handed_on_while_the_decoder_goes_on(tmp_path, monkeypatch):
    """A large JPEG's rows reach the hashing thread in many pieces before
    the decode ends, not all at once after it."""
    handed = []
    pack_rows = engine.pack_rows
    monkeypatch.setattr(engine, "pack_rows", lambda packer, rows: (handed.append(rows),
                                                                   pack_rows(packer, rows)))
    image = noisy("RGB", 1200, 900)
    path = tmp_path / "large.jpg"
    image.save(path, "JPEG", quality=95)
    loaded = _image.load_for_derivation(path)
    assert loaded.image_hash == hashlib.sha3_256(quorvex.load_image(path).pixels).digest()
    assert len(handed) > 10 and handed == sorted(handed) and handed[-1] <= 900


def test_a_truncated_large_file_stops_the_hashing_thread_too(tmp_path):
    image = noisy("RGB", 1200, 900)
    path = tmp_path / "cut.jpg"
    buffer = io.BytesIO()
    image.save(buffer, "JPEG")
    path.write_bytes(buffer.getvalue()[:len(buffer.getvalue()) // 2])
    threads = threading.active_count()
    with pytest.raises(OSError):
        quorvex.derive(path, nonce=b"n", timestamp=1)
    assert threading.active_count() == threads


def test_row_packer_marks_and_counts_finished_rows():
    width, height = 5, 4
    memory = bytearray(b"\xff" * (width * height * 4))
    packer = engine.row_packer(memory, width, height)
    assert engine.decoded_rows(packer, 0) == 0  # every row marked unfinished
    rng = random.Random(3)
    rows = [bytes(p for _ in range(width) for p in (*rng.randbytes(3), 255)) for _ in range(height)]
    for row in range(2):
        memory[row * width * 4:(row + 1) * width * 4] = rows[row]
    assert engine.decoded_rows(packer, 0) == 2
    engine.pack_rows(packer, 2)
    memory[2 * width * 4:] = rows[2] + rows[3]
    assert engine.decoded_rows(packer, 2) == 4
    packed = b"".join(row[i:i + 3] for row in rows for i in range(0, len(row), 4))
    assert engine.finish_rows(packer) == hashlib.sha3_256(packed).digest()
    assert bytes(memory[:len(packed)]) == packed
    with pytest.raises(RuntimeError, match="index out of bounds"):
        engine.row_packer(bytearray(79), 5, 4)
