"""The module against the checked-in known-answer vectors, which the Python
models made: no change may silently alter a key."""
import json
import pathlib
import subprocess
import sys

import pytest

from conftest import blake3_walks_in_process, outcome

HERE = pathlib.Path(__file__).resolve().parent / "vectors"
VECTORS = json.loads((HERE / "vectors.json").read_text())


def expected(vector):
    return ("panic", vector["panic"]) if "panic" in vector else ("ok", bytes.fromhex(vector["result"]))


def walk_args(v):
    return (bytes.fromhex(v["initial_seed"]), bytes.fromhex(v["pixels"]),
            v["width"], v["height"], v["steps"], v["layers"])


def test_vectors_are_what_the_models_make():
    result = subprocess.run([sys.executable, str(HERE / "generate.py"), "--check"], timeout=300)
    assert result.returncode == 0, "vectors.json differs from the models: regenerate and review"


@pytest.mark.parametrize("v", VECTORS["generate_initial_seed"])
def test_seed(q, v):
    seed = q.generate_initial_seed(bytes.fromhex(v["image_hash"]), bytes.fromhex(v["nonce"]),
                                   v["timestamp"], v["version"])
    assert bytes(seed).hex() == v["seed"]


def test_sha3_walk(q):
    for v in VECTORS["execute_multilayer_sha3"]:
        assert outcome(q.execute_multilayer_sha3, *walk_args(v)) == expected(v), v


BLAKE3_WALKS = VECTORS["execute_multilayer_blake3"]


@pytest.mark.parametrize("threads", sorted({int(t) for v in BLAKE3_WALKS for t in v["by_thread_count"]}))
def test_blake3_walk(threads):
    got = blake3_walks_in_process(threads, [walk_args(v) for v in BLAKE3_WALKS])
    assert got == [expected(v["by_thread_count"][str(threads)]) for v in BLAKE3_WALKS]


@pytest.mark.parametrize("v", VECTORS["derive_key_hkdf"])
def test_hkdf(q, v):
    key = q.derive_key_hkdf(bytes.fromhex(v["entropy_pool"]), bytes.fromhex(v["salt"]),
                            bytes.fromhex(v["info"]), v["key_size"])
    assert bytes(key).hex() == v["key"]


@pytest.mark.parametrize("v", VECTORS["derive_key_blake3"])
def test_blake3_kdf(q, v):
    key = q.derive_key_blake3(bytes.fromhex(v["entropy_pool"]), v["context"], v["key_size"])
    assert bytes(key).hex() == v["key"]
