"""Records of keys: Derivation.to_json, Derivation.from_json and verify."""
import copy
import json

import pytest
from PIL import Image

import quorvex
from conftest import run_python

NONCE = bytes(range(16))
TIMESTAMP = 1_700_000_000
OPTIONS = {"nonce": NONCE, "timestamp": TIMESTAMP, "steps": 40, "layers": 2}

INPUTS = {"image_hash", "width", "height", "nonce", "timestamp", "scheme_version", "walk", "kdf",
          "steps", "layers", "threads", "key_size"}


def picture(shade=0):
    image = Image.new("RGB", (6, 5))
    image.putdata([((x * 40 + shade) % 256, y * 50, shade) for y in range(5) for x in range(6)])
    return image


@pytest.fixture(scope="module", params=["hkdf", "blake3"])
def derivation(request):
    return quorvex.derive(picture(), kdf=request.param, **OPTIONS)


def test_the_key_is_apart_from_the_public_inputs(derivation):
    record = derivation.to_json()
    label = "info" if derivation.kdf == "hkdf" else "context"
    assert list(record) == ["inputs", "key"]
    assert set(record["inputs"]) == INPUTS | {label}
    assert record["key"] == derivation.key.hex()
    assert derivation.key.hex() not in json.dumps(record["inputs"])


def test_the_key_stays_out_of_the_repr(derivation):
    assert derivation.key.hex() not in repr(derivation)
    assert repr(derivation.key) not in repr(derivation)
    assert derivation.nonce.hex() in repr(derivation) or repr(derivation.nonce) in repr(derivation)


def test_a_record_can_leave_the_key_out(derivation):
    record = derivation.to_json(include_key=False)
    assert list(record) == ["inputs"]
    assert record["inputs"] == derivation.to_json()["inputs"]
    assert derivation.key.hex() not in json.dumps(record)


def test_the_record_holds_the_inputs_as_given():
    d = quorvex.derive(picture(), nonce=b"\x00\xfe", timestamp=2**64 - 1, version="v\u00e9",
                       kdf="blake3", context="ctx \u2603", key_size=16, steps=3, layers=1)
    inputs = d.to_json()["inputs"]
    assert (inputs["nonce"], inputs["timestamp"], inputs["scheme_version"]) == ("00fe", 2**64 - 1, "v\u00e9")
    assert (inputs["context"], inputs["key_size"], inputs["steps"], inputs["layers"]) == ("ctx \u2603", 16, 3, 1)
    assert (inputs["width"], inputs["height"], inputs["threads"], inputs["walk"]) == (6, 5, None, "sha3")
    assert json.loads(json.dumps(d.to_json())) == d.to_json()


def test_from_json_gives_back_the_derivation(derivation):
    assert quorvex.Derivation.from_json(derivation.to_json()) == derivation
    assert quorvex.Derivation.from_json(json.dumps(derivation.to_json())) == derivation
    with_name = {"image": "photo.png", **derivation.to_json()}
    assert quorvex.Derivation.from_json(with_name) == derivation


def test_verify_accepts_the_same_pixels_in_every_form(derivation, tmp_path):
    record = quorvex.Derivation.from_json(derivation.to_json())
    path = tmp_path / "same.ppm"
    picture().save(path)
    rgb = quorvex.load_image(picture())
    for image in (picture(), str(path), path, rgb, rgb.pixels, bytearray(rgb.pixels),
                  memoryview(rgb.pixels)):
        assert record.verify(image) is None


def test_verify_refuses_another_image(derivation):
    with pytest.raises(quorvex.KeyMismatchError, match="pixels are not the recorded ones"):
        derivation.verify(picture(shade=1))


@pytest.mark.parametrize("change", [
    {"key": "00" * 32}, {"inputs": {"nonce": "01"}}, {"inputs": {"timestamp": 1}},
    {"inputs": {"steps": 41}}, {"inputs": {"layers": 1}}, {"inputs": {"scheme_version": "v"}},
])
def test_verify_refuses_a_record_that_was_changed(change):
    record = quorvex.derive(picture(), **OPTIONS).to_json()
    record["key"] = change.get("key", record["key"])
    record["inputs"].update(change.get("inputs", {}))
    with pytest.raises(quorvex.KeyMismatchError):
        quorvex.Derivation.from_json(record).verify(picture())


def test_blake3_records_of_any_thread_counts_verify_in_one_process():
    """Records made in processes of other default counts (RAYON_NUM_THREADS)
    and with explicit counts all verify in one process, in any order; a
    record whose count is changed does not."""
    make = """
        import json, quorvex
        image = quorvex.RgbImage(bytes(range(90)), 6, 5)
        for threads in (None, 3, 1, 16):
            print(json.dumps(quorvex.derive(image, nonce=b"n", timestamp=1, walk="blake3",
                                            steps=64, layers=2, threads=threads).to_json()))
    """
    records = run_python(make, env={"RAYON_NUM_THREADS": "5"}).stdout.splitlines()
    records += run_python(make, env={"RAYON_NUM_THREADS": "2"}).stdout.splitlines()[:1]
    check = """
        import json, quorvex, sys
        image = quorvex.RgbImage(bytes(range(90)), 6, 5)
        for line in sys.stdin.read().splitlines():
            record = quorvex.Derivation.from_json(line)
            record.verify(image)
            changed = json.loads(line)
            changed["inputs"]["threads"] = record.threads + 1
            try:
                quorvex.Derivation.from_json(changed).verify(image)
                print(record.threads, "changed count verified")
            except quorvex.KeyMismatchError:
                print(record.threads, "OK")
    """
    out = run_python(check, stdin="\n".join(records), env={"RAYON_NUM_THREADS": "7"}).stdout
    assert out.split("\n")[:-1] == ["5 OK", "3 OK", "1 OK", "16 OK", "2 OK"]


DELETE = object()


def mutated(path, value):
    record = quorvex.derive(picture(), **OPTIONS).to_json()
    broken = copy.deepcopy(record)
    *parents, last = path
    target = broken
    for name in parents:
        target = target[name]
    if value is DELETE:
        del target[last]
    else:
        target[last] = value
    return broken


@pytest.mark.parametrize("path,value", [
    (["key"], DELETE), (["inputs"], DELETE), (["inputs"], []), (["extra"], 1),
    (["key"], "abc"), (["key"], "zz" * 32), (["key"], "00" * 16), (["key"], 5),
    (["inputs", "nonce"], ""), (["inputs", "nonce"], "0"), (["inputs", "nonce"], "00 11"),
    (["inputs", "image_hash"], "00" * 31), (["inputs", "width"], 0), (["inputs", "height"], "5"),
    (["inputs", "timestamp"], -1), (["inputs", "timestamp"], 1.5), (["inputs", "timestamp"], True),
    (["inputs", "steps"], 0), (["inputs", "layers"], 0), (["inputs", "walk"], "sha2"),
    (["inputs", "kdf"], "blake3"), (["inputs", "info"], DELETE), (["inputs", "context"], "c"),
    (["inputs", "key_size"], 24), (["inputs", "threads"], 2), (["inputs", "scheme_version"], None),
    (["inputs", "unknown"], 0), (["inputs", "walk"], DELETE),
])
def test_malformed_records_are_value_errors(path, value):
    with pytest.raises(ValueError, match="^not a quorvex key record: "):
        quorvex.Derivation.from_json(mutated(path, value))


@pytest.mark.parametrize("threads", [None, 0, 65536, True])
def test_a_blake3_record_needs_a_valid_thread_count(threads):
    record = mutated(["inputs", "walk"], "blake3")
    record["inputs"]["threads"] = threads
    with pytest.raises(ValueError, match="^not a quorvex key record: "):
        quorvex.Derivation.from_json(record)
    record["inputs"]["threads"] = 2
    assert quorvex.Derivation.from_json(record).threads == 2


@pytest.mark.parametrize("text", ["", "[]", "null", "{", '"text"', "5"])
def test_what_is_not_a_record_object_is_a_value_error(text):
    with pytest.raises(ValueError, match="^not a quorvex key record: "):
        quorvex.Derivation.from_json(text)


def test_a_record_without_its_key_cannot_be_verified():
    record = quorvex.derive(picture(), **OPTIONS).to_json(include_key=False)
    with pytest.raises(ValueError, match="holds no key"):
        quorvex.Derivation.from_json(record)
