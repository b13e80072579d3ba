"""A small typed host: derives one key with each walk from the sample
image, and checks a key against its record. Checked with mypy --strict
together with the quorvex package."""
import json

import _quorvex_core as core
import quorvex


def main() -> None:
    image = quorvex.sample_image()
    nonce = bytes(16)
    sha3_key: bytes = quorvex.derive_key(image, nonce=nonce, timestamp=1_700_000_000)
    record: quorvex.Derivation = quorvex.derive(
        image, nonce=bytearray(nonce), timestamp=1_700_000_000, walk="blake3", kdf="blake3",
        key_size=64)
    stored = json.dumps(record.to_json())
    try:
        quorvex.Derivation.from_json(stored).verify(image.pixels)
        verdict = "OK"
    except quorvex.KeyMismatchError:
        verdict = "FAILED"
    seed: list[int] = core.generate_initial_seed(quorvex.image_hash(image), nonce, 1, "v")
    print(sha3_key.hex(), record.key.hex(), record.threads, verdict, len(seed))


if __name__ == "__main__":
    main()
