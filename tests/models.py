"""Plain Python models of the module's functions, written from the scheme's
description with independent primitives (hashlib, hmac, the blake3 package).
Slow and obvious on purpose: they are the oracle the module is checked
against."""
import hashlib
import hmac

import blake3


def initial_seed(image_hash: bytes, nonce: bytes, timestamp: int, version: str) -> bytes:
    field = image_hash.hex().encode() if len(image_hash) == 32 else image_hash
    message = field + nonce + str(timestamp).encode() + version.encode("utf-8")
    return hashlib.sha3_512(message).digest()


def expand_pool(pool: bytes) -> bytes:
    return b"".join(hashlib.sha3_256(pool + i.to_bytes(4, "big")).digest()
                    for i in range(4))


def hkdf_sha256(salt: bytes, ikm: bytes, info: bytes, length: int) -> bytes:
    prk = hmac.new(salt, ikm, hashlib.sha256).digest()
    output, block, counter = b"", b"", 1
    while len(output) < length:
        block = hmac.new(prk, block + info + bytes([counter]), hashlib.sha256).digest()
        output += block
        counter += 1
    return output[:length]


def derive_key_hkdf(pool: bytes, salt: bytes, info: bytes, key_size: int) -> bytes:
    return hkdf_sha256(salt, expand_pool(pool), info, key_size)


def derive_key_blake3(pool: bytes, context: str, key_size: int) -> bytes:
    hasher = blake3.blake3(derive_key_context=context)
    hasher.update(expand_pool(pool))
    return hasher.digest(length=key_size)
