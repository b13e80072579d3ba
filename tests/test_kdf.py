"""The final-key derivations: HKDF-SHA256 and BLAKE3 derive-key."""
import blake3
import pytest
from hypothesis import given, strategies as st

import models
from conftest import raises_panic
from fixed_texts import KEY_SIZE

SIZES = [16, 32, 64]
BAD_SIZES = [0, 1, 8, 15, 17, 20, 24, 31, 33, 48, 63, 65, 128, 8160, 8161, 2**64 - 1]


@given(pool=st.binary(max_size=200), salt=st.binary(max_size=150),
       info=st.binary(max_size=150), key_size=st.sampled_from(SIZES))
def test_hkdf_matches_model(q, pool, salt, info, key_size):
    assert bytes(q.derive_key_hkdf(pool, salt, info, key_size)) == \
        models.derive_key_hkdf(pool, salt, info, key_size)


@given(pool=st.binary(max_size=200), context=st.text(max_size=40),
       key_size=st.sampled_from(SIZES))
def test_blake3_matches_model(q, pool, context, key_size):
    assert bytes(q.derive_key_blake3(pool, context, key_size)) == \
        models.derive_key_blake3(pool, context, key_size)


@pytest.mark.parametrize("length", [1024, 1025, 5000, 70000])
def test_hkdf_long_salt_and_info(q, length):
    salt, info = bytes(range(256)) * (length // 256 + 1), b"i" * length
    salt = salt[:length]
    assert bytes(q.derive_key_hkdf(b"pool", salt, info, 64)) == \
        models.derive_key_hkdf(b"pool", salt, info, 64)


@pytest.mark.parametrize("context", ["", "\u00e9", "a\0b", "x" * 1025, "quorvex-lin-tav-v1.0"])
def test_blake3_contexts(q, context):
    pool = bytes(range(64))
    expanded = models.expand_pool(pool)
    assert bytes(q.derive_key_blake3(pool, context, 32)) == \
        blake3.blake3(expanded, derive_key_context=context).digest()
    assert bytes(q.derive_key_blake3(pool, context, 32)) != \
        blake3.blake3(pool, derive_key_context=context).digest()


@pytest.mark.parametrize("derive", [
    lambda q, size: q.derive_key_hkdf(b"pool", b"salt", b"info", size),
    lambda q, size: q.derive_key_blake3(b"pool", "ctx", size),
])
def test_shorter_keys_are_prefixes(q, derive):
    k16, k32, k64 = (derive(q, size) for size in SIZES)
    assert (len(k16), len(k32), len(k64)) == (16, 32, 64)
    assert k32[:16] == k16 and k64[:32] == k32


@pytest.mark.parametrize("size", BAD_SIZES)
@pytest.mark.parametrize("derive", [
    lambda q, size: q.derive_key_hkdf(b"pool", b"salt", b"info", size),
    lambda q, size: q.derive_key_blake3(b"pool", "ctx", size),
])
def test_bad_key_sizes_panic(q, derive, size):
    with raises_panic(KEY_SIZE):
        derive(q, size)


def test_key_size_checked_after_all_conversions(q):
    with pytest.raises(TypeError, match="argument 'info'"):
        q.derive_key_hkdf(b"", b"", None, 3)
    with pytest.raises(UnicodeEncodeError):
        q.derive_key_blake3(b"", "\ud800", 3)


def test_salt_equivalences(q):
    key = q.derive_key_hkdf(b"pool", b"", b"info", 32)
    assert q.derive_key_hkdf(b"pool", bytes(32), b"info", 32) == key
    assert q.derive_key_hkdf(b"pool", bytes(64), b"info", 32) == key
    long_salt = bytes(range(65))
    assert q.derive_key_hkdf(b"pool", long_salt, b"info", 32) != \
        q.derive_key_hkdf(b"pool", long_salt[:64], b"info", 32)


def test_empty_info_and_pool(q):
    assert q.derive_key_hkdf(b"pool", b"", b"", 32) != q.derive_key_hkdf(b"pool", b"", b"x", 32)
    assert bytes(q.derive_key_hkdf(b"", b"", b"", 32)) == models.derive_key_hkdf(b"", b"", b"", 32)
    assert bytes(q.derive_key_blake3(b"", "", 64)) == models.derive_key_blake3(b"", "", 64)


def test_pools_of_any_length(q):
    keys = {bytes(q.derive_key_hkdf(bytes(n), b"s", b"i", 32)) for n in (0, 32, 64, 1000)}
    assert len(keys) == 4
