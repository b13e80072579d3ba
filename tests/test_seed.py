"""The initial seed."""
import hashlib

import pytest
from hypothesis import given, strategies as st

import models


@given(image_hash=st.binary(max_size=70) | st.binary(min_size=32, max_size=32),
       nonce=st.binary(max_size=40),
       timestamp=st.integers(0, 2**64 - 1),
       version=st.text(max_size=20))
def test_matches_model(q, image_hash, nonce, timestamp, version):
    seed = q.generate_initial_seed(image_hash, nonce, timestamp, version)
    assert bytes(seed) == models.initial_seed(image_hash, nonce, timestamp, version)


def sha3(message):
    return list(hashlib.sha3_512(message).digest())


@pytest.mark.parametrize("args,message", [
    ((bytes(range(32)), b"", 0, ""),
     b"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f0"),
    ((b"", b"", 0, ""), b"0"),
    ((b"\x01\x02\x03", b"n", 987, "v1"), bytes.fromhex("0102036e3938377631")),
    ((b"", b"", 2**64 - 1, ""), b"18446744073709551615"),
    ((b"", b"", 0, "\u00e9"), b"0\xc3\xa9"),
    ((bytes(31), b"", 5, ""), bytes(31) + b"5"),
    ((bytes(33), b"", 5, ""), bytes(33) + b"5"),
    ((b"\xff" * 32, b"", 1, "v\0x"), b"f" * 64 + b"1v\0x"),
])
def test_seed_messages(q, args, message):
    assert q.generate_initial_seed(*args) == sha3(message)


def test_hex_form_equivalences(q):
    digest = hashlib.sha256(b"image").digest()
    lower = digest.hex().encode()
    assert q.generate_initial_seed(digest, b"n", 1, "v") == \
        q.generate_initial_seed(lower, b"n", 1, "v")
    assert q.generate_initial_seed(digest, b"n", 1, "v") != \
        q.generate_initial_seed(lower.upper(), b"n", 1, "v")


def test_fields_join_without_separators(q):
    assert q.generate_initial_seed(b"", b"\x31", 23, "v") == \
        q.generate_initial_seed(b"", b"\x31\x32", 3, "v")


def test_result_shape(q):
    seed = q.generate_initial_seed(b"h", b"n", 1, "v")
    assert type(seed) is list and len(seed) == 64
