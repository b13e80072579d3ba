"""derive_many and check_many: in input order, on threads, a process pool
and a Dask cluster of worker processes, equal to one derivation at a time."""
import json
import multiprocessing
import threading
import warnings
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor

import pytest
from PIL import Image

import quorvex
from conftest import run_python

OPTIONS = {"nonce": bytes(range(16)), "timestamp": 1_700_000_000, "steps": 30, "layers": 2}


def picture(shade, size=(7, 5)):
    image = Image.new("RGB", size)
    image.putdata([((x * 37 + shade) % 256, (y * 53 + 3 * shade) % 256, shade % 256)
                   for y in range(size[1]) for x in range(size[0])])
    return image


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pictures")
    names = []
    for shade in range(6):
        name = folder / f"picture-{shade}.png"
        picture(shade, (7 + shade, 5)).save(name)
        names.append(str(name))
    return names


def serial(images, **options):
    return [quorvex.derive(image, **{**OPTIONS, **options}) for image in images]


def records_of(derivations, images):
    return [json.dumps({**d.to_json(), "image": image}) for d, image in zip(derivations, images)]


class Counted:
    """An iterable that counts how many of its items were taken."""

    def __init__(self, items):
        self.items, self.taken = items, 0

    def __iter__(self):
        for item in self.items:
            self.taken += 1
            yield item


# --- derive_many on this process's threads ----------------------------------

@pytest.mark.parametrize("window", [1, 2, 5, None])
def test_derive_many_equals_one_at_a_time_in_input_order(paths, window):
    expected = serial(paths)
    assert list(quorvex.derive_many(paths, window=window, **OPTIONS)) == expected
    assert len({d.key for d in expected}) == len(paths)


def test_derive_many_takes_every_kind_of_image_and_derive_options(paths):
    rgb = quorvex.load_image(paths[1])
    images = [paths[0], rgb, picture(9), open(paths[2], "rb")]
    options = {"kdf": "blake3", "key_size": 64, "version": "other", "context": "c"}
    try:
        assert list(quorvex.derive_many(images, **OPTIONS, **options)) == serial(
            [paths[0], rgb, picture(9), paths[2]], **options)
    finally:
        images[3].close()


def test_derive_many_takes_raw_pixels_with_one_size(paths):
    raws = [picture(shade).tobytes() for shade in range(3)]
    many = list(quorvex.derive_many(raws, width=7, height=5, **OPTIONS))
    assert many == serial([picture(shade) for shade in range(3)])


def test_derive_many_checks_its_options_before_reading_any_image():
    images = Counted([picture(0)])
    with pytest.raises(quorvex.OptionError, match="nonce must not be empty"):
        quorvex.derive_many(images, nonce=b"", timestamp=1)
    with pytest.raises(TypeError, match="nonce and timestamp"):
        quorvex.derive_many(images, nonce=b"1")  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="'colour'"):
        quorvex.derive_many(images, colour=1, **OPTIONS)
    with pytest.raises(quorvex.OptionError, match="window must be 1 to"):
        quorvex.derive_many(images, window=0, **OPTIONS)
    assert images.taken == 0


@pytest.mark.parametrize("window", [1, 3])
def test_only_a_window_of_images_is_read_ahead(paths, window):
    images = Counted(paths)
    results = quorvex.derive_many(images, window=window, **OPTIONS)
    assert images.taken == 0  # nothing happens before the first result is asked for
    first = next(results)
    assert images.taken == window
    assert first == serial(paths[:1])[0]
    assert [first, *results] == serial(paths)


def test_an_unreadable_image_raises_in_its_turn(paths, tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not a picture")
    results = quorvex.derive_many([paths[0], paths[1], str(broken), paths[2]], window=4, **OPTIONS)
    assert [next(results), next(results)] == serial(paths[:2])
    with pytest.raises(OSError):
        next(results)
    assert list(results) == []


def test_stopping_early_cancels_what_is_still_queued(paths):
    gate = threading.Event()
    with ThreadPoolExecutor(max_workers=1) as executor:
        submit = executor.submit
        submitted = []

        def recorded_submit(*args, **kwargs):
            submitted.append(submit(*args, **kwargs))
            return submitted[-1]

        def images():
            yield paths[0]
            submit(gate.wait)  # holds the one worker: what follows stays queued
            yield from paths[1:]

        executor.submit = recorded_submit
        results = quorvex.derive_many(images(), executor=executor, window=4, **OPTIONS)
        assert next(results) == serial(paths[:1])[0]
        results.close()
        gate.set()
    assert len(submitted) == 4
    assert [future.cancelled() for future in submitted] == [False, True, True, True]


# --- check_many on this process's threads -----------------------------------

def test_check_many_passes_the_records_of_derive_many(paths):
    derivations = list(quorvex.derive_many(paths, **OPTIONS))
    results = list(quorvex.check_many(records_of(derivations, paths), window=2))
    assert [r.ok for r in results] == [True] * len(paths)
    assert [r.image for r in results] == paths
    assert [r.record for r in results] == derivations


def test_check_many_reports_each_failure_and_checks_the_rest(paths, tmp_path):
    good, other, gone = serial(paths[:3])
    lines = records_of([good, other, gone], [paths[0], paths[0], str(tmp_path / "gone.png")])
    lines[2:2] = ["\n", '{"inputs": {}}\n', json.dumps({**good.to_json(), "image": 7})]
    keyless = json.dumps({**good.to_json(include_key=False), "image": paths[0]})
    results = list(quorvex.check_many([*lines, keyless, good]))
    assert [r.ok for r in results] == [True, False, False, False, False, False, False]
    assert isinstance(results[1].error, quorvex.KeyMismatchError)
    assert "not the recorded ones" in str(results[1].error)
    assert results[2].record is None and "not a quorvex key record" in str(results[2].error)
    assert results[3].record == good and "file name or null" in str(results[3].error)
    assert isinstance(results[4].error, OSError) and results[4].image.endswith("gone.png")
    assert "holds no key" in str(results[5].error)
    assert results[6].record == good and "names no image" in str(results[6].error)


def test_check_many_pairs_records_with_the_images_given(paths):
    derivations = serial(paths[:3])
    images = [paths[0], quorvex.load_image(paths[2]), picture(0)]
    results = list(quorvex.check_many(derivations, images))
    assert [r.ok for r in results] == [True, False, False]
    assert [r.image for r in results] == [paths[0], None, None]
    short = list(quorvex.check_many([d.to_json() for d in derivations], paths[:2]))
    assert [r.ok for r in short] == [True, True, False]
    assert "fewer images than records" in str(short[2].error)
    with pytest.raises(TypeError, match="image must be a path"):
        list(quorvex.check_many(derivations[:1], [None]))  # a caller's fault, not the record's


def test_a_null_image_is_the_sample_image():
    sample = quorvex.derive(quorvex.sample_image(), **OPTIONS)
    record = {**sample.to_json(), "image": None}
    (result,) = quorvex.check_many([record])
    assert result.ok and result.image is None


# --- other executors --------------------------------------------------------

def spawned_pool():
    return ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("spawn"))


def test_a_process_pool_gives_the_serial_results(paths):
    derivations = serial(paths)
    with spawned_pool() as pool:
        assert list(quorvex.derive_many(paths, executor=pool, window=3, **OPTIONS)) == derivations
        lines = records_of(derivations, [paths[0], paths[0], *paths[2:]])
        assert [r.ok for r in quorvex.check_many(lines, executor=pool)] == \
            [True, False, *[True] * (len(paths) - 2)]


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            yield client.get_executor()


def test_a_dask_cluster_gives_the_serial_results(paths, dask_executor: Executor):
    derivations = serial(paths, kdf="blake3")
    many = quorvex.derive_many(paths, executor=dask_executor, window=4, kdf="blake3", **OPTIONS)
    assert list(many) == derivations
    lines = records_of(derivations, paths)
    lines[1] = json.dumps({**derivations[1].to_json(), "image": paths[2]})
    results = list(quorvex.check_many(lines, executor=dask_executor))
    assert [r.ok for r in results] == [True, False, *[True] * (len(paths) - 2)]
    assert isinstance(results[1].error, quorvex.KeyMismatchError)


def test_a_dask_cluster_walks_blake3_as_one_process_does(paths, dask_executor: Executor):
    # The worker processes pin their own thread count; the keys are those of
    # a process pinned to the same count.
    many = list(quorvex.derive_many(paths, executor=dask_executor, walk="blake3", threads=2,
                                    **OPTIONS))
    assert {d.threads for d in many} == {2}
    expected = run_python(f"""
        import quorvex
        options = {OPTIONS!r}
        for path in {paths!r}:
            print(quorvex.derive_key(path, walk="blake3", threads=2, **options).hex())
        """).stdout.split()
    assert [d.key.hex() for d in many] == expected


# --- public face --------------------------------------------------------------

def test_check_result_says_ok_only_without_an_error():
    assert quorvex.CheckResult(None, None, None).ok
    assert not quorvex.CheckResult(None, "x.png", OSError("gone")).ok
