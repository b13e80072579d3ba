"""Records as parameters (Derivation.inputs_from_json and .derive), and
image arguments that must be refused or warned about rather than ignored."""
import io
import json
import warnings

import pytest
from PIL import Image

import quorvex

NONCE = b"\x05\x06"


def picture(seed=1, size=(7, 5)):
    image = Image.new("RGB", size)
    image.putdata([((x * 31 + seed) % 256, (y * 17) % 256, (x * y + seed) % 256)
                   for y in range(size[1]) for x in range(size[0])])
    return image


def png(image):
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return buffer.getvalue()


@pytest.mark.parametrize("options", [
    {}, {"walk": "blake3", "threads": 1}, {"kdf": "blake3", "key_size": 64, "context": "ctx"},
    {"info": b"label", "version": "v-other", "layers": 2},
])
def test_the_inputs_of_a_keyless_record_derive_its_key_again(options):
    image = picture()
    original = quorvex.derive(image, nonce=NONCE, timestamp=9, steps=25, **options)
    for record in (original.to_json(include_key=False), json.dumps(original.to_json())):
        inputs = quorvex.Derivation.inputs_from_json(record)
        again = inputs.derive(picture())
        assert again == original
        assert again.key == original.key
        assert (inputs.image_hash, inputs.width, inputs.height) == \
            (original.image_hash, original.width, original.height)


def test_recorded_inputs_take_raw_pixels_with_the_recorded_size():
    image = picture(size=(6, 4))
    original = quorvex.derive(image, nonce=NONCE, timestamp=3, steps=12)
    inputs = quorvex.Derivation.inputs_from_json(original.to_json(include_key=False))
    assert inputs.derive(bytearray(image.tobytes())).key == original.key
    assert inputs.derive(io.BytesIO(png(image))).key == original.key


def test_recorded_inputs_refuse_another_image():
    original = quorvex.derive(picture(1), nonce=NONCE, timestamp=3, steps=12)
    inputs = quorvex.Derivation.inputs_from_json(original.to_json(include_key=False))
    with pytest.raises(ValueError, match="the image's pixels are not the recorded ones"):
        inputs.derive(picture(2))


@pytest.mark.parametrize("record,fragment", [
    ("[" * 100_000, "nested too deeply"),
    ("{", "not a quorvex key record"),
    ({"inputs": {}}, "inputs lacks"),
    ({"inputs": 3}, "inputs must be a JSON object"),
    ([], "record must be a JSON object"),
])
def test_inputs_from_json_refuses_what_is_not_a_record(record, fragment):
    with pytest.raises(ValueError, match="^not a quorvex key record") as info:
        quorvex.Derivation.inputs_from_json(record)
    assert fragment in str(info.value)


def test_from_json_still_refuses_a_keyless_record_and_deep_nesting():
    record = quorvex.derive(picture(), nonce=NONCE, timestamp=3, steps=12).to_json(include_key=False)
    with pytest.raises(ValueError, match="holds no key"):
        quorvex.Derivation.from_json(record)
    with pytest.raises(ValueError, match="nested too deeply"):
        quorvex.Derivation.from_json('{"a": ' + "[" * 100_000)


# --- width and height go with raw bytes only --------------------------------------

def rgb_image():
    image = picture()
    return quorvex.RgbImage(image.tobytes(), *image.size)


@pytest.mark.parametrize("make", [
    lambda tmp: str(tmp / "p.png"), lambda tmp: open(tmp / "p.png", "rb"),
    lambda tmp: picture(), lambda tmp: rgb_image(),
], ids=["path", "file", "pillow", "rgb"])
@pytest.mark.parametrize("size", [{"width": 7}, {"height": 5}, {"width": 7, "height": 5}])
def test_a_size_with_an_image_that_has_one_is_refused(tmp_path, make, size):
    picture().save(tmp_path / "p.png")
    source = make(tmp_path)
    try:
        with pytest.raises(ValueError, match="width and height go with raw RGB bytes only"):
            quorvex.load_image(source, size.get("width"), size.get("height"))
        with pytest.raises(ValueError, match="width and height go with raw RGB bytes only"):
            quorvex.derive(source, nonce=NONCE, timestamp=1, steps=5, **size)
    finally:
        if hasattr(source, "close"):
            source.close()


@pytest.mark.parametrize("size", [{"width": 7}, {"height": 5}, {}])
def test_raw_bytes_need_both_sizes(size):
    with pytest.raises(ValueError, match="raw RGB bytes need a width and a height"):
        quorvex.derive(picture().tobytes(), nonce=NONCE, timestamp=1, steps=5, **size)


@pytest.mark.parametrize("format", ["GIF", "PNG", "TIFF"])
def test_a_two_frame_image_is_warned_about(tmp_path, format):
    path = tmp_path / f"two.{format.lower()}"
    picture(1).save(path, format=format, save_all=True, append_images=[picture(2)])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quorvex.load_image(str(path))
    assert [str(w.message) for w in caught if w.category is quorvex.DroppedInputWarning] == \
        ["only one of its 2 frames is read"]
