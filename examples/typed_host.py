"""A small typed host: derives one key with each walk from the sample
image. Checked with mypy --strict together with the quorvex package."""
from importlib import resources

import _quorvex_core as core
import quorvex


def main() -> None:
    with resources.as_file(resources.files("quorvex") / "data" / "sample.png") as path:
        image = quorvex.load_image(path)
    nonce = bytes(16)
    sha3_key: bytes = quorvex.derive_key(image, nonce=nonce, timestamp=1_700_000_000)
    record: quorvex.Derivation = quorvex.derive(
        image, nonce=nonce, timestamp=1_700_000_000, walk="blake3", kdf="blake3", key_size=64)
    seed: list[int] = core.generate_initial_seed(quorvex.image_hash(image), nonce, 1, "v")
    print(sha3_key.hex(), record.key.hex(), record.threads, len(seed))


if __name__ == "__main__":
    main()
