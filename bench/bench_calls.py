"""Calls per second of the module's functions, against the same hashing done
from Python with hashlib, hmac and blake3 in the same run."""
import hashlib
import hmac
import timeit

import blake3

import _quorvex_core as q

IMAGE_HASH = hashlib.sha3_256(b"image").digest()
NONCE = bytes(range(16))
TIMESTAMP = 1_700_000_000
VERSION = "quorvex-v2"
POOL = bytes(range(64))
INFO = b"quorvex-lintav-v2"
CONTEXT = "quorvex-lin-tav-v1.0"


def python_seed():
    message = IMAGE_HASH.hex().encode() + NONCE + str(TIMESTAMP).encode() + VERSION.encode()
    return list(hashlib.sha3_512(message).digest())


def python_expand(pool):
    return b"".join(hashlib.sha3_256(pool + i.to_bytes(4, "big")).digest() for i in range(4))


def python_hkdf():
    prk = hmac.new(NONCE, python_expand(POOL), hashlib.sha256).digest()
    return list(hmac.new(prk, INFO + b"\x01", hashlib.sha256).digest())


def python_blake3():
    return list(blake3.blake3(python_expand(POOL), derive_key_context=CONTEXT).digest())


def rate(call, number=20000, repeat=7):
    return number / min(timeit.repeat(call, number=number, repeat=repeat))


def main():
    cases = [
        ("generate_initial_seed", lambda: q.generate_initial_seed(IMAGE_HASH, NONCE, TIMESTAMP, VERSION),
         python_seed),
        ("derive_key_hkdf", lambda: q.derive_key_hkdf(POOL, NONCE, INFO, 32), python_hkdf),
        ("derive_key_blake3", lambda: q.derive_key_blake3(POOL, CONTEXT, 32), python_blake3),
    ]
    assert q.generate_initial_seed(IMAGE_HASH, NONCE, TIMESTAMP, VERSION) == python_seed()
    assert q.derive_key_hkdf(POOL, NONCE, INFO, 32) == python_hkdf()
    assert q.derive_key_blake3(POOL, CONTEXT, 32) == python_blake3()
    print(f"{'function':24} {'module calls/s':>15} {'python calls/s':>15} {'ratio':>7}")
    for name, module_call, python_call in cases:
        ours, theirs = rate(module_call), rate(python_call)
        print(f"{name:24} {ours:15,.0f} {theirs:15,.0f} {ours / theirs:7.2f}")


if __name__ == "__main__":
    main()
