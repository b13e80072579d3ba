"""Derives a seed, an entropy pool and a key from a built-in test pattern,
the way a host drives the module."""
import hashlib

import _quorvex_core as q

WIDTH, HEIGHT = 64, 48


def test_pattern() -> bytes:
    """A deterministic RGB gradient with a checkerboard, row 0 first."""
    pixels = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            check = 64 if (x // 8 + y // 8) % 2 else 0
            pixels += bytes(((x * 4 + check) % 256, (y * 5 + check) % 256, (x * y) % 256))
    return bytes(pixels)


def main() -> None:
    pixels = test_pattern()
    image_hash = hashlib.sha3_256(pixels).digest()
    nonce = bytes.fromhex("000102030405060708090a0b0c0d0e0f")
    seed = q.generate_initial_seed(image_hash, nonce, 1_700_000_000, "quorvex-v2")
    pool = q.execute_multilayer_sha3(bytes(seed), pixels, WIDTH, HEIGHT, 1000, 3)
    key = q.derive_key_hkdf(bytes(pool), nonce, b"quorvex-lintav-v2", 32)
    print("seed ", bytes(seed).hex())
    print("pool ", bytes(pool).hex())
    print("key  ", bytes(key).hex())


if __name__ == "__main__":
    main()
