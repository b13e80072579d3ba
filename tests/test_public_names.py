"""The package's public face: names at home in quorvex, reprs that fit a
log line, an option error that can be caught by name, help() that stands
on its own."""
import pickle
import pydoc

import pytest

import quorvex

PUBLIC = [getattr(quorvex, name) for name in quorvex.__all__]


@pytest.mark.parametrize("value", [v for v in PUBLIC if isinstance(v, type) or callable(v)],
                         ids=lambda v: v.__name__)
def test_public_classes_and_functions_live_in_quorvex(value):
    assert value.__module__ == "quorvex"
    assert repr(value).startswith("<class 'quorvex.") if isinstance(value, type) \
        else pydoc.locate(f"quorvex.{value.__name__}") is value


def test_public_exceptions_pickle_and_print_under_their_public_name():
    for error in (quorvex.KeyMismatchError("x"), quorvex.WorkerPoolError("x"),
                  quorvex.OptionError("steps", "must be 1 or more")):
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is type(error) and str(again) == str(error)
    with pytest.raises(quorvex.OptionError) as caught:
        quorvex.derive_key(quorvex.sample_image(), nonce=b"", timestamp=0)
    assert "quorvex.OptionError" in repr(caught.type)


def test_recorded_inputs_are_a_public_type_that_pickles():
    derivation = quorvex.derive(quorvex.sample_image(), nonce=b"n", timestamp=1)
    inputs = quorvex.Derivation.inputs_from_json(derivation.to_json(include_key=False))
    assert type(inputs) is quorvex.RecordedInputs
    again = pickle.loads(pickle.dumps(inputs))
    assert again == inputs
    assert again.derive(quorvex.sample_image()).key == derivation.key


@pytest.mark.parametrize("options, option", [
    ({"nonce": b""}, "nonce"), ({"steps": 0}, "steps"), ({"layers": 0}, "layers"),
    ({"key_size": 24}, "key_size"), ({"walk": "md5"}, "walk"), ({"threads": 0}, "threads"),
    ({"timestamp": -1}, "timestamp"), ({"context": "\udce9", "kdf": "blake3"}, "context"),
])
def test_every_option_out_of_range_is_an_option_error(options, option):
    arguments = {"nonce": b"n", "timestamp": 1, **options}
    with pytest.raises(quorvex.OptionError) as caught:
        quorvex.derive(quorvex.sample_image(), **arguments)
    assert isinstance(caught.value, ValueError)
    assert caught.value.option == option
    assert str(caught.value).startswith(f"{option} must")


def test_an_rgb_image_shows_its_size_and_never_its_pixels():
    image = quorvex.RgbImage(bytes([0xAB]) * 3 * 200 * 100, 200, 100)
    assert repr(image) == "RgbImage(width=200, height=100)"
    assert "\\xab" not in repr(image) and len(repr(image)) < 40
    assert image == quorvex.RgbImage(bytes([0xAB]) * 3 * 200 * 100, 200, 100)


def test_help_of_derive_key_stands_on_its_own():
    text = quorvex.derive_key.__doc__
    for keyword in ("nonce", "timestamp", "version", "walk", "kdf", "steps", "layers", "info",
                    "context", "key_size", "threads", "width", "height"):
        assert f"``{keyword}``" in text, keyword
    for raised in ("TypeError", "OptionError", "OSError", "WorkerPoolError"):
        assert raised in text, raised
    assert len(text.split()) > 150  # a reference, not a pointer to derive()


def test_thread_pinning_names_are_gone():
    # Any thread count runs in any process now: nothing is left to pin.
    for name in ("pin_thread_count", "pinned_thread_count", "ThreadCountError",
                 "start_worker_pool"):
        assert not hasattr(quorvex, name), name
