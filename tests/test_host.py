"""The quorvex host package: images, the pipeline, thread-count pinning."""
import hashlib
import io

import pytest
from PIL import Image

import models
import quorvex
from conftest import run_python

NONCE = bytes(range(16))
TIMESTAMP = 1_700_000_000


def picture(width=12, height=9, mode="RGB"):
    image = Image.new("RGB", (width, height))
    image.putdata([((x * 20) % 256, (y * 30) % 256, (x * y) % 256)
                   for y in range(height) for x in range(width)])
    return image.convert(mode)


def expected_key(rgb, walk="sha3", kdf="hkdf", steps=quorvex.DEFAULT_STEPS,
                 layers=quorvex.DEFAULT_LAYERS, key_size=32, threads=1):
    """The typical road, through the models only."""
    digest = hashlib.sha3_256(rgb.pixels).digest()
    seed = models.initial_seed(digest, NONCE, TIMESTAMP, quorvex.DEFAULT_VERSION)
    if walk == "sha3":
        pool = models.sha3_walk(seed, rgb.pixels, rgb.width, rgb.height, steps, layers)
    else:
        pool = models.blake3_walk(seed, rgb.pixels, rgb.width, rgb.height, steps, layers, threads)
    if kdf == "hkdf":
        return models.derive_key_hkdf(pool, NONCE, quorvex.DEFAULT_INFO, key_size)
    return models.derive_key_blake3(pool, quorvex.DEFAULT_CONTEXT, key_size)


@pytest.mark.parametrize("kdf", ["hkdf", "blake3"])
@pytest.mark.parametrize("key_size", [16, 32, 64])
def test_sha3_road_matches_the_models(kdf, key_size):
    rgb = quorvex.load_image(picture())
    key = quorvex.derive_key(rgb, nonce=NONCE, timestamp=TIMESTAMP, kdf=kdf, key_size=key_size,
                             steps=60, layers=2)
    assert key == expected_key(rgb, kdf=kdf, steps=60, layers=2, key_size=key_size)


def test_blake3_road_matches_the_models_for_its_thread_count():
    script = """
        import quorvex
        d = quorvex.derive(quorvex.RgbImage(bytes(range(108)) * 3, 12, 9), nonce=bytes(range(16)),
                           timestamp=1_700_000_000, walk="blake3", kdf="blake3", steps=90,
                           layers=2, threads=3)
        print(d.threads, d.key.hex())
    """
    threads, key = run_python(script).stdout.split()
    rgb = quorvex.RgbImage(bytes(range(108)) * 3, 12, 9)
    assert int(threads) == 3
    assert key == expected_key(rgb, walk="blake3", kdf="blake3", steps=90, layers=2, threads=3).hex()


@pytest.mark.parametrize("fmt", ["PNG", "PPM", "BMP", "TIFF"])
def test_lossless_formats_keep_the_key(tmp_path, fmt):
    path = tmp_path / f"image.{fmt.lower()}"
    picture().save(path, format=fmt)
    key = quorvex.derive_key(str(path), nonce=NONCE, timestamp=TIMESTAMP, steps=30)
    assert key == quorvex.derive_key(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=30)


def test_jpeg_and_other_modes_are_converted_to_rgb(tmp_path):
    path = tmp_path / "photo.jpg"
    picture().save(path, format="JPEG")
    rgb = quorvex.load_image(path)
    assert (rgb.width, rgb.height, len(rgb.pixels)) == (12, 9, 12 * 9 * 3)
    for mode in ["L", "RGBA", "P", "CMYK", "I;16"]:
        converted = quorvex.load_image(picture(mode=mode))
        assert len(converted.pixels) == 12 * 9 * 3


def test_pixels_are_row_major_rgb():
    image = Image.new("RGB", (2, 2))
    image.putdata([(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12)])
    assert quorvex.load_image(image).pixels == bytes(range(1, 13))
    assert quorvex.image_hash(quorvex.load_image(image)) == hashlib.sha3_256(bytes(range(1, 13))).digest()


def test_raw_rgb_bytes_with_their_size():
    rgb = quorvex.load_image(picture())
    assert quorvex.derive_key(rgb.pixels, width=12, height=9, nonce=NONCE, timestamp=1, steps=9) == \
        quorvex.derive_key(picture(), nonce=NONCE, timestamp=1, steps=9)


@pytest.mark.parametrize("pixels,width,height", [(b"", 0, 0), (bytes(5), 1, 2), (bytes(6), 2, 0),
                                                 (bytes(6), None, 2)])
def test_raw_images_are_validated(pixels, width, height):
    with pytest.raises(ValueError):
        quorvex.load_image(pixels, width, height)
    with pytest.raises(ValueError):
        quorvex.derive_key(pixels, width=width, height=height, nonce=NONCE, timestamp=1)


def test_size_is_only_for_raw_bytes():
    with pytest.raises(ValueError):
        quorvex.load_image(picture(), 12, 9)


@pytest.mark.parametrize("options", [
    {"walk": "sha2"}, {"kdf": "pbkdf2"}, {"key_size": 24}, {"steps": -1}, {"layers": 2**64},
    {"timestamp": -5},
])
def test_bad_options_are_value_errors(options):
    arguments = {"nonce": NONCE, "timestamp": TIMESTAMP, **options}
    with pytest.raises(ValueError):
        quorvex.derive_key(picture(), **arguments)


def test_unreadable_image_is_an_os_error(tmp_path):
    (tmp_path / "junk.png").write_bytes(b"not an image")
    with pytest.raises(OSError):
        quorvex.derive_key(str(tmp_path / "junk.png"), nonce=NONCE, timestamp=TIMESTAMP)
    with pytest.raises(OSError):
        quorvex.derive_key(str(tmp_path / "missing.png"), nonce=NONCE, timestamp=TIMESTAMP)


PINNING = """
    import os, quorvex
    image = quorvex.RgbImage(bytes(48), 4, 4)
    kwargs = dict(nonce=b"n", timestamp=1, walk="blake3", steps=8, layers=1)
    print(quorvex.pinned_thread_count())
    first = quorvex.derive(image, threads={first}, **kwargs)
    print(first.threads, os.environ["RAYON_NUM_THREADS"], quorvex.pinned_thread_count())
    print(quorvex.derive(image, **kwargs).threads)
    try:
        quorvex.derive(image, threads={second}, **kwargs)
    except quorvex.ThreadCountError as error:
        print("refused")
    print(quorvex.derive(image, nonce=b"n", timestamp=1, steps=8).threads)
"""


def test_thread_count_is_pinned_once_per_process():
    out = run_python(PINNING.format(first=2, second=3)).stdout.split("\n")
    assert out[:5] == ["None", "2 2 2", "2", "refused", "None"]


def test_existing_environment_value_is_honoured():
    script = """
        import quorvex
        print(quorvex.derive(quorvex.RgbImage(bytes(48), 4, 4), nonce=b"n", timestamp=1,
                             walk="blake3", steps=8, layers=1).threads)
    """
    assert run_python(script, env={"RAYON_NUM_THREADS": "+3"}).stdout.strip() == "3"


def test_json_record_names_every_input():
    d = quorvex.derive(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=10, layers=1)
    record = d.to_json()
    assert record["key"] == d.key.hex()
    assert record["threads"] is None and record["walk"] == "sha3"
    assert set(record) >= {"image_hash", "nonce", "timestamp", "version", "walk", "kdf", "steps",
                           "layers", "threads", "key_size", "info", "key"}
