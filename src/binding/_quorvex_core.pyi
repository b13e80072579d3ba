"""Type stubs for the native core of quorvex."""

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
) -> list[int]:
    """Generate the initial seed from image hash, nonce, timestamp, and version string."""

def execute_multilayer_sha3(
    initial_seed: bytes, pixels: bytes, width: SupportsIndex, height: SupportsIndex, steps: SupportsIndex, layers: SupportsIndex
) -> list[int]:
    """SHA3 path — sequential walk matching v2/v1 exactly for 100% parity."""

def execute_multilayer_blake3(
    initial_seed: bytes, pixels: bytes, width: SupportsIndex, height: SupportsIndex, steps: SupportsIndex, layers: SupportsIndex
) -> list[int]:
    """BLAKE3 path — parallel chunks with BLAKE3 chain + bounded window walk."""

def derive_key_hkdf(entropy_pool: bytes, salt: bytes, info: bytes, key_size: SupportsIndex) -> list[int]:
    """Derive final key using HKDF-SHA256."""

def derive_key_blake3(entropy_pool: bytes, context: str, key_size: SupportsIndex) -> list[int]:
    """Derive final key using BLAKE3 in KDF mode."""
