"""The quorvex host package: images, the pipeline, its options and the
BLAKE3 walk's thread count."""
import array
import hashlib
import inspect
import io
import os
import pydoc
import shutil
import struct
import subprocess
import textwrap
import types
import warnings
import zlib

import pytest
from PIL import Image

import models
import quorvex
from conftest import run_python

NONCE = bytes(range(16))
TIMESTAMP = 1_700_000_000
SANITIZED = os.environ.get("HYPOTHESIS_PROFILE") == "sanitize"


def picture(width=12, height=9, mode="RGB"):
    image = Image.new("RGB", (width, height))
    image.putdata([((x * 20) % 256, (y * 30) % 256, (x * y) % 256)
                   for y in range(height) for x in range(width)])
    return image.convert(mode)


def expected_key(rgb, walk="sha3", kdf="hkdf", steps=quorvex.DEFAULT_STEPS,
                 layers=quorvex.DEFAULT_LAYERS, key_size=32, threads=1, nonce=NONCE,
                 timestamp=TIMESTAMP):
    """The typical road, through the models only."""
    digest = hashlib.sha3_256(rgb.pixels).digest()
    seed = models.initial_seed(digest, nonce, timestamp, quorvex.DEFAULT_VERSION)
    if walk == "sha3":
        pool = models.sha3_walk(seed, rgb.pixels, rgb.width, rgb.height, steps, layers)
    else:
        pool = models.blake3_walk(seed, rgb.pixels, rgb.width, rgb.height, steps, layers, threads)
    if kdf == "hkdf":
        return models.derive_key_hkdf(pool, nonce, quorvex.DEFAULT_INFO, key_size)
    return models.derive_key_blake3(pool, quorvex.DEFAULT_CONTEXT, key_size)


def run_clean(code, env=None):
    """run_python with no RAYON_ variable but those in env."""
    env = env or {}
    prelude = ("import os\n"
               "for name in [n for n in os.environ if n.startswith('RAYON_')]:\n"
               f"    if name not in {sorted(env)!r}: del os.environ[name]\n")
    return run_python(prelude + textwrap.dedent(code), env=env)


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


@pytest.mark.filterwarnings("ignore::quorvex.DroppedInputWarning")
def test_jpeg_and_other_modes_are_converted_to_rgb(tmp_path):
    path = tmp_path / "photo.jpg"
    picture().save(path, format="JPEG")
    rgb = quorvex.load_image(path)
    assert (rgb.width, rgb.height, len(rgb.pixels)) == (12, 9, 12 * 9 * 3)
    for mode in ["L", "RGBA", "P", "CMYK", "I;16"]:
        converted = quorvex.load_image(picture(mode=mode))
        assert len(converted.pixels) == 12 * 9 * 3


def test_encoded_files_are_read_from_binary_file_objects(tmp_path):
    buffer = io.BytesIO()
    picture().save(buffer, format="PNG")
    buffer.seek(0)
    assert quorvex.load_image(buffer) == quorvex.load_image(picture())


def test_pixels_are_row_major_rgb():
    image = Image.new("RGB", (2, 2))
    image.putdata([(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12)])
    assert quorvex.load_image(image).pixels == bytes(range(1, 13))
    assert quorvex.image_hash(quorvex.load_image(image)) == hashlib.sha3_256(bytes(range(1, 13))).digest()


def test_raw_rgb_bytes_with_their_size():
    rgb = quorvex.load_image(picture())
    assert quorvex.derive_key(rgb.pixels, width=12, height=9, nonce=NONCE, timestamp=1, steps=9) == \
        quorvex.derive_key(picture(), nonce=NONCE, timestamp=1, steps=9)


@pytest.mark.parametrize("pixels,width,height", [
    (b"", 0, 0), (b"", 0, 5), (b"", 5, 0), (bytes(5), 1, 2), (bytes(6), 2, 0), (bytes(6), None, 2),
])
def test_raw_images_are_validated(pixels, width, height):
    with pytest.raises(ValueError):
        quorvex.load_image(pixels, width, height)
    with pytest.raises(ValueError):
        quorvex.derive_key(pixels, width=width, height=height, nonce=NONCE, timestamp=1)


def test_size_is_only_for_raw_bytes():
    with pytest.raises(ValueError):
        quorvex.load_image(picture(), 12, 9)


def test_the_sample_image_is_the_packaged_file():
    sample = quorvex.sample_image()
    with Image.open(os.path.join(os.path.dirname(quorvex.__file__), "data", "sample.png")) as png:
        assert sample.pixels == png.convert("RGB").tobytes()


# --- options -------------------------------------------------------------

@pytest.mark.parametrize("options", [
    {"walk": "sha2"}, {"kdf": "pbkdf2"}, {"key_size": 24}, {"steps": -1}, {"layers": 2**64},
    {"timestamp": -5}, {"timestamp": 2**64}, {"threads": 0}, {"threads": 65536},
    {"version": "\udcff"}, {"context": "lone \ud800 surrogate"},
])
def test_bad_options_are_value_errors(options):
    arguments = {"nonce": NONCE, "timestamp": TIMESTAMP, **options}
    with pytest.raises(ValueError):
        quorvex.derive_key(picture(), **arguments)


@pytest.mark.parametrize("walk", ["sha3", "blake3"])
@pytest.mark.parametrize("options", [
    {"steps": 0}, {"layers": 0}, {"nonce": b""}, {"nonce": bytearray()}, {"nonce": memoryview(b"")},
])
def test_options_that_would_ignore_the_image_or_nonce_are_refused(walk, options):
    # Without a step or a layer the walk reads no pixel, and every image
    # gives the same key; without a nonce every key of an image at a
    # timestamp is the same.
    arguments = {"nonce": NONCE, "timestamp": TIMESTAMP, "walk": walk, **options}
    name = next(iter(options))
    with pytest.raises(ValueError, match=f"^{name} must"):
        quorvex.derive(picture(), **arguments)


def test_sha3_step_counts_the_walk_cannot_hold_are_a_value_error():
    # The core's answer is a PanicException ("capacity overflow"), which a
    # plain `except Exception` would not even catch.
    limit = (2**63 - 1) // 32
    with pytest.raises(ValueError, match=f"steps must be 1 to {limit} for the SHA3 walk"):
        quorvex.derive(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=limit + 1)


@pytest.mark.parametrize("name,value", [
    ("timestamp", "1"), ("timestamp", 1.0), ("timestamp", True), ("steps", 2.5), ("layers", None),
    ("key_size", "32"), ("nonce", "00"), ("nonce", 5), ("nonce", [0, 1]), ("info", "label"),
    ("version", b"quorvex-v2"), ("context", 3), ("walk", None), ("kdf", 1), ("threads", True),
    ("threads", 2.5), ("threads", "2"),
])
def test_wrong_types_are_type_errors_naming_the_argument(name, value):
    arguments = {"nonce": NONCE, "timestamp": TIMESTAMP, name: value}
    with pytest.raises(TypeError, match=f"^{name} must be"):
        quorvex.derive(picture(), **arguments)


class Count:
    """An integer type of another library (numpy's, say)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integers_of_other_types_are_taken_by_their_index():
    d = quorvex.derive(picture(), nonce=NONCE, timestamp=Count(TIMESTAMP), steps=Count(30),
                       layers=Count(2), key_size=Count(16))
    assert (d.timestamp, d.steps, d.layers, d.key_size) == (TIMESTAMP, 30, 2, 16)
    assert type(d.steps) is int
    assert d.key == expected_key(quorvex.load_image(picture()), steps=30, layers=2, key_size=16)


@pytest.mark.parametrize("image", [42, None, ["a.png"], 3.5])
def test_an_image_of_an_unknown_kind_is_a_type_error(image):
    with pytest.raises(TypeError, match="^image must be"):
        quorvex.derive(image, nonce=NONCE, timestamp=TIMESTAMP)


@pytest.mark.parametrize("convert", [bytes, bytearray, memoryview, lambda b: array.array("B", b)])
def test_bytes_like_pixels_nonce_and_info(convert):
    rgb = quorvex.load_image(picture())
    label = b"another label"
    d = quorvex.derive(convert(rgb.pixels), width=12, height=9, nonce=convert(NONCE),
                       info=convert(label), timestamp=TIMESTAMP, steps=40, layers=1)
    assert type(d.nonce) is bytes and type(d.info) is bytes
    assert d.key == quorvex.derive_key(rgb, nonce=NONCE, info=label, timestamp=TIMESTAMP,
                                       steps=40, layers=1)


def test_a_bytes_like_copy_is_taken_once():
    pixels = bytearray(quorvex.load_image(picture()).pixels)
    rgb = quorvex.load_image(pixels, 12, 9)
    pixels[0] ^= 0xFF
    assert rgb.pixels[0] != pixels[0]


def test_help_shows_the_options_of_derive_key():
    text = pydoc.render_doc(quorvex.derive_key)
    for name in ("nonce", "timestamp", "version", "walk", "kdf", "steps", "layers", "info",
                 "context", "key_size", "threads", "width", "height"):
        assert f"{name}:" in text or f"{name}=" in text, name
    assert "**options" not in text
    assert inspect.signature(quorvex.derive_key).return_annotation in (bytes, "bytes")


def test_the_typed_options_of_derive_key_are_those_of_derive():
    from quorvex._host import DeriveOptions
    keywords = [p.name for p in inspect.signature(quorvex.derive).parameters.values()
                if p.kind is inspect.Parameter.KEYWORD_ONLY]
    assert list(DeriveOptions.__annotations__) == keywords


def test_all_names_every_public_attribute():
    public = {name for name, value in vars(quorvex).items()
              if not name.startswith("_") and not isinstance(value, types.ModuleType)}
    assert sorted(quorvex.__all__) == sorted(public)


def test_derivation_is_built_by_keyword_only():
    d = quorvex.derive(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=10, layers=1)
    with pytest.raises(TypeError):
        quorvex.Derivation(d.key, d.image_hash)


# --- dropped input -------------------------------------------------------

def with_alpha(mode):
    image = picture().convert("RGBA")
    image.putalpha(Image.linear_gradient("L").resize(image.size))
    return image.convert(mode)


def palette_with_transparency():
    image = picture().convert("P")
    image.info["transparency"] = 0
    return image


def animation(tmp_path, fmt):
    frames = [picture(), picture().transpose(Image.Transpose.ROTATE_180), picture().convert("L")]
    path = tmp_path / f"frames.{fmt.lower()}"
    frames[0].save(path, format=fmt, save_all=True, append_images=frames[1:])
    return path


@pytest.mark.parametrize("make,fragment", [
    (lambda tmp: with_alpha("RGBA"), "alpha"),
    (lambda tmp: with_alpha("LA"), "alpha"),
    (lambda tmp: palette_with_transparency(), "alpha"),
    (lambda tmp: animation(tmp, "GIF"), "one of its 3 frames"),
    (lambda tmp: animation(tmp, "TIFF"), "one of its 3 frames"),
    (lambda tmp: animation(tmp, "PNG"), "one of its 3 frames"),
])
def test_dropped_input_is_a_warning(tmp_path, make, fragment):
    with pytest.warns(quorvex.DroppedInputWarning, match=fragment) as caught:
        quorvex.derive(make(tmp_path), nonce=NONCE, timestamp=TIMESTAMP, steps=10, layers=1)
    assert caught[0].filename == __file__  # the caller's line, not the package's


@pytest.mark.parametrize("mode", ["RGB", "L", "P", "CMYK", "1"])
def test_nothing_dropped_no_warning(mode):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quorvex.load_image(picture(mode=mode))


def test_the_alpha_channel_does_not_enter_the_key():
    opaque = picture()
    translucent = with_alpha("RGBA")
    assert translucent.getchannel("A").getextrema() != (255, 255)
    with pytest.warns(quorvex.DroppedInputWarning):
        key = quorvex.derive_key(translucent, nonce=NONCE, timestamp=TIMESTAMP, steps=10)
    assert key == quorvex.derive_key(opaque, nonce=NONCE, timestamp=TIMESTAMP, steps=10)


def test_only_the_first_frame_of_a_file_enters_the_key(tmp_path):
    with pytest.warns(quorvex.DroppedInputWarning):
        key = quorvex.derive_key(animation(tmp_path, "TIFF"), nonce=NONCE, timestamp=TIMESTAMP,
                                 steps=10)
    assert key == quorvex.derive_key(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=10)


# --- unreadable images -----------------------------------------------------

def png_header_only(width, height):
    """A PNG that declares a size and holds no pixels."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IEND", b"")


def truncated_png():
    buffer = io.BytesIO()
    picture(200, 200).save(buffer, format="PNG")
    return buffer.getvalue()[:400]


@pytest.mark.parametrize("content", [
    b"not an image", b"", png_header_only(30000, 30000), png_header_only(8, 8), truncated_png(),
    b"P6\n", b"P6 2 2 0\n" + bytes(12), b"P3 2 2 255\n1 2 3 x",
], ids=["junk", "empty", "decompression-bomb", "no-pixel-data", "truncated", "ppm-no-size",
        "ppm-bad-maximum", "ppm-bad-digits"])
def test_unreadable_images_are_os_errors(tmp_path, content):
    (tmp_path / "bad.png").write_bytes(content)
    with pytest.raises(OSError):
        quorvex.derive_key(str(tmp_path / "bad.png"), nonce=NONCE, timestamp=TIMESTAMP)
    with pytest.raises(OSError):
        quorvex.derive_key(io.BytesIO(content), nonce=NONCE, timestamp=TIMESTAMP)


def test_a_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(OSError):
        quorvex.derive_key(str(tmp_path / "missing.png"), nonce=NONCE, timestamp=TIMESTAMP)


# Stands in for pthread_create: no thread can be started.
FAILING_PTHREAD_CREATE = r"""
#include <errno.h>
#include <pthread.h>
int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                   void *(*entry)(void *), void *argument) {
    (void)thread; (void)attributes; (void)entry; (void)argument;
    return EAGAIN;
}
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime must come first in LD_PRELOAD")
@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_a_pool_that_cannot_start_is_a_worker_pool_error(tmp_path):
    source = tmp_path / "failing.c"
    source.write_text(FAILING_PTHREAD_CREATE)
    failing = tmp_path / "failing.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(failing), str(source)], check=True)
    script = """
        import quorvex
        image = quorvex.RgbImage(bytes(48), 4, 4)
        for attempt in range(2):
            try:
                quorvex.derive(image, nonce=b"n", timestamp=1, walk="blake3", steps=8, layers=1,
                               threads=2)
            except quorvex.WorkerPoolError as error:
                print(isinstance(error, RuntimeError), str(error).split(":")[0])
        # The SHA3 walk needs no pool: it runs on the calling thread.
        print(len(quorvex.derive_key(image, nonce=b"n", timestamp=1, steps=8)))
    """
    lines = run_clean(script, {"LD_PRELOAD": str(failing)}).stdout.splitlines()
    assert lines == ["True The global thread pool has not been initialized."] * 2 + ["32"]


# --- the thread count ------------------------------------------------------

def test_any_thread_counts_in_one_process():
    """Counts mixed in one process, each equal to the models' walk with that
    chunk count; the default stays the one the process started with."""
    script = """
        import os, quorvex
        image = quorvex.RgbImage(bytes(range(108)) * 3, 12, 9)
        kwargs = dict(nonce=b"n", timestamp=1, walk="blake3", steps=90, layers=2)
        for threads in (None, 2, 9, None, 1, 16, 3):
            d = quorvex.derive(image, threads=threads, **kwargs)
            print(d.threads, d.key.hex())
            os.environ["RAYON_NUM_THREADS"] = "11"  # read once per process, as by the pool
    """
    lines = run_clean(script, {"RAYON_NUM_THREADS": "4"}).stdout.splitlines()
    rgb = quorvex.RgbImage(bytes(range(108)) * 3, 12, 9)
    assert [line.split()[0] for line in lines] == ["4", "2", "9", "4", "1", "16", "3"]
    for line in lines:
        threads, key = line.split()
        assert key == expected_key(rgb, walk="blake3", steps=90, layers=2, threads=int(threads),
                                   nonce=b"n", timestamp=1).hex(), threads


def test_existing_environment_value_is_honoured():
    script = """
        import quorvex
        print(quorvex.derive(quorvex.RgbImage(bytes(48), 4, 4), nonce=b"n", timestamp=1,
                             walk="blake3", steps=8, layers=1).threads)
    """
    assert run_python(script, env={"RAYON_NUM_THREADS": "+3"}).stdout.strip() == "3"


# Prints the recorded thread count, the threads the walk started and the key.
THREADS_USED = """
    before = len(os.listdir("/proc/self/task"))
    import quorvex
    d = quorvex.derive(quorvex.RgbImage(bytes(range(48)), 4, 4), nonce=b"n", timestamp=1,
                       walk="blake3", steps=64, layers=1)
    print(d.threads, len(os.listdir("/proc/self/task")) - before, d.key.hex())
"""


@pytest.mark.parametrize("env,prelude,expected", [
    ({"RAYON_NUM_THREADS": "18446744073709551616", "RAYON_RS_NUM_CPUS": "3"}, "", 3),
    ({"RAYON_NUM_THREADS": " 2", "RAYON_RS_NUM_CPUS": "3"}, "", 3),
    ({"RAYON_RS_NUM_CPUS": "2"}, "", 2),
    ({"RAYON_NUM_THREADS": "+3", "RAYON_RS_NUM_CPUS": "2"}, "", 3),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "", None),
    ({}, "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n", 1),
], ids=["above-2**64", "space", "rs-num-cpus", "plus", "zero-skips-rs", "affinity"])
def test_the_recorded_thread_count_is_the_one_the_walk_used(env, prelude, expected):
    recorded, started, key = run_clean(prelude + textwrap.dedent(THREADS_USED), env).stdout.split()
    # Chunks are walked on one thread per CPU, whatever their count.
    assert 1 <= int(started) <= len(os.sched_getaffinity(0))
    if expected is not None:
        assert int(recorded) == expected
    else:  # the available parallelism: the pool's default
        assert 1 <= int(recorded) <= len(os.sched_getaffinity(0))
    seed = models.initial_seed(hashlib.sha3_256(bytes(range(48))).digest(), b"n", 1,
                               quorvex.DEFAULT_VERSION)
    pool = models.blake3_walk(seed, bytes(range(48)), 4, 4, 64, 1, int(recorded))
    assert key == models.derive_key_hkdf(pool, b"n", quorvex.DEFAULT_INFO, 32).hex()


def test_the_default_count_is_the_pools_own_rule():
    script = """
        import quorvex._engine as rule
        print(rule.pool_thread_count())
        before = len(os.listdir("/proc/self/task"))
        import _quorvex_core as q
        q.execute_multilayer_blake3(b"s", bytes(48), 4, 4, 4, 1)
        print(len(os.listdir("/proc/self/task")) - before)
    """
    for env in ({}, {"RAYON_RS_NUM_CPUS": "3"}, {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "2"}):
        predicted, started = run_clean(script, env).stdout.split()
        assert predicted == started, env


@pytest.mark.parametrize("threads,error", [
    (65536, ValueError), (0, ValueError), (-1, ValueError), (True, TypeError), (2.5, TypeError),
    ("2", TypeError),
])
def test_thread_counts_are_whole_numbers_up_to_the_cap(threads, error):
    with pytest.raises(error, match="threads"):
        quorvex.derive(quorvex.RgbImage(bytes(48), 4, 4), nonce=b"n", timestamp=1, walk="blake3",
                       steps=8, layers=1, threads=threads)


def test_json_record_names_every_input():
    d = quorvex.derive(picture(), nonce=NONCE, timestamp=TIMESTAMP, steps=10, layers=1)
    record = d.to_json()
    assert record["key"] == d.key.hex()
    assert record["inputs"]["threads"] is None and record["inputs"]["walk"] == "sha3"
    assert set(record["inputs"]) >= {"image_hash", "nonce", "timestamp", "scheme_version", "walk",
                                     "kdf", "steps", "layers", "threads", "key_size", "info"}
