# Type stubs for the native core of quorvex. They carry types only: the
# docstrings live in the module (help() shows them), and scripts/test checks
# these stubs against the built module with mypy.stubtest.

from typing import SupportsIndex

__all__ = [
    "generate_initial_seed",
    "execute_multilayer_sha3",
    "execute_multilayer_blake3",
    "derive_key_hkdf",
    "derive_key_blake3",
]

def generate_initial_seed(
    image_hash: bytes, nonce: bytes, timestamp: SupportsIndex, version: str
) -> list[int]: ...
def execute_multilayer_sha3(
    initial_seed: bytes, pixels: bytes, width: SupportsIndex, height: SupportsIndex,
    steps: SupportsIndex, layers: SupportsIndex,
) -> list[int]: ...
def execute_multilayer_blake3(
    initial_seed: bytes, pixels: bytes, width: SupportsIndex, height: SupportsIndex,
    steps: SupportsIndex, layers: SupportsIndex,
) -> list[int]: ...
def derive_key_hkdf(
    entropy_pool: bytes, salt: bytes, info: bytes, key_size: SupportsIndex
) -> list[int]: ...
def derive_key_blake3(entropy_pool: bytes, context: str, key_size: SupportsIndex) -> list[int]: ...
