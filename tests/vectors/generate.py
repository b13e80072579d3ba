"""Regenerates vectors.json, the known-answer vectors of _quorvex_core, from
the plain Python models in tests/models.py (never from the module itself).

    python tests/vectors/generate.py          # rewrite vectors.json
    python tests/vectors/generate.py --check  # exit 1 if it is out of date
"""
import json
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import models  # noqa: E402

VECTORS = HERE / "vectors.json"
THREAD_COUNTS = (1, 2, 3, 4)


def outcome(function, *args):
    try:
        return {"result": function(*args).hex()}
    except models.ModelPanic as panic:
        return {"panic": str(panic)}


def image(rng, width, height, colours=None):
    palette = [rng.randbytes(3) for _ in range(colours)] if colours else None
    if palette is None:
        return rng.randbytes(width * height * 3)
    return b"".join(rng.choice(palette) for _ in range(width * height))


def seed_vectors(rng):
    cases = [(bytes(range(32)), b"", 0, ""), (b"", b"", 0, ""), (b"\x01\x02\x03", b"n", 987, "v1"),
             (rng.randbytes(32), rng.randbytes(16), 2**64 - 1, "quorvex-v2"),
             (rng.randbytes(64), b"", 1_700_000_000, "\u00e9\u4e2d"),
             (rng.randbytes(31), rng.randbytes(1), 12, "a\0b")]
    return [{"image_hash": h.hex(), "nonce": n.hex(), "timestamp": t, "version": v,
             "seed": models.initial_seed(h, n, t, v).hex()} for h, n, t, v in cases]


def walk_cases(rng):
    """Sizes and counts shared by both walks: edges, tiny images, a realistic
    small one; a few deliberate failures."""
    cases = []
    for width, height in [(1, 1), (1, 7), (7, 1), (2, 2), (3, 5), (9, 9), (32, 24)]:
        for steps, layers in [(0, 1), (1, 1), (20, 2), (130, 1)]:
            cases.append((rng.randbytes(64), image(rng, width, height, colours=rng.choice([None, 2])),
                          width, height, steps, layers))
    cases.append((rng.randbytes(64), image(rng, 40, 30), 40, 30, 1100, 1))   # re-anchoring
    cases.append((rng.randbytes(64), b"", 0, 0, 0, 0))                       # no layers
    cases.append((rng.randbytes(64), b"", 0, 3, 5, 1))                       # zero width
    return cases


def encode_walk(seed, pixels, width, height, steps, layers):
    return {"initial_seed": seed.hex(), "pixels": pixels.hex(), "width": width, "height": height,
            "steps": steps, "layers": layers}


def sha3_vectors(rng):
    cases = walk_cases(rng)
    cases.append((rng.randbytes(63), bytes(12), 2, 2, 1, 1))                 # seed length
    cases.append((rng.randbytes(64), bytes(11), 2, 2, 1, 1))                 # pixel length
    return [dict(encode_walk(*case), **outcome(models.sha3_walk, *case)) for case in cases]


def blake3_vectors(rng):
    cases = walk_cases(rng)
    cases.append((b"", image(rng, 6, 6), 6, 6, 40, 2))                       # empty seed
    cases.append((rng.randbytes(5), bytes(10), 4, 4, 50, 1))                 # short buffer
    # The inputs once, the outcome for each worker-pool thread count.
    return [dict(encode_walk(*case),
                 by_thread_count={str(threads): outcome(models.blake3_walk, *case, threads)
                                  for threads in THREAD_COUNTS})
            for case in cases]


def kdf_vectors(rng):
    pools = [b"", rng.randbytes(32), rng.randbytes(64), rng.randbytes(1000)]
    hkdf, blake3_kdf = [], []
    for pool in pools:
        for key_size in (16, 32, 64):
            salt = rng.choice([b"", rng.randbytes(16), rng.randbytes(65)])
            info = rng.choice([b"", b"quorvex-lintav-v2", rng.randbytes(1500)])
            context = rng.choice(["", "quorvex-lin-tav-v1.0", "\u00e9\0x", "c" * 1100])
            hkdf.append({"entropy_pool": pool.hex(), "salt": salt.hex(), "info": info.hex(),
                         "key_size": key_size,
                         "key": models.derive_key_hkdf(pool, salt, info, key_size).hex()})
            blake3_kdf.append({"entropy_pool": pool.hex(), "context": context, "key_size": key_size,
                               "key": models.derive_key_blake3(pool, context, key_size).hex()})
    return hkdf, blake3_kdf


def generate():
    rng = random.Random(20261208)
    hkdf, blake3_kdf = kdf_vectors(rng)
    return {
        "about": "Known-answer vectors of _quorvex_core, made by tests/vectors/generate.py "
                 "from plain Python models. Bytes are hex; 'panic' is the PanicException "
                 "message; a BLAKE3-walk vector gives the outcome for each worker-pool "
                 "thread count in by_thread_count.",
        "generate_initial_seed": seed_vectors(rng),
        "execute_multilayer_sha3": sha3_vectors(rng),
        "execute_multilayer_blake3": blake3_vectors(rng),
        "derive_key_hkdf": hkdf,
        "derive_key_blake3": blake3_kdf,
    }


def render(vectors):
    return json.dumps(vectors, indent=1, ensure_ascii=True) + "\n"


if __name__ == "__main__":
    text = render(generate())
    if "--check" in sys.argv:
        sys.exit(0 if VECTORS.read_text() == text else 1)
    VECTORS.write_text(text)
