"""The quorvex package's native engine: the core without the interpreter lock."""

from collections.abc import Buffer

MAX_THREAD_COUNT: int

def generate_initial_seed(image_hash: Buffer, nonce: Buffer, timestamp: int, version: str,
                          /) -> bytes:
    """The 64-byte initial seed."""

def sha3_walk(initial_seed: Buffer, pixels: Buffer, width: int, height: int, steps: int,
              layers: int, /) -> bytes:
    """The SHA3 walk's 64-byte entropy pool."""

def blake3_walk(initial_seed: Buffer, pixels: Buffer, width: int, height: int, steps: int,
                layers: int, threads: int, /) -> bytes:
    """The BLAKE3 walk's 32-byte entropy pool with ``threads`` chunks a layer."""

def derive_key_hkdf(entropy_pool: Buffer, salt: Buffer, info: Buffer, key_size: int, /) -> bytes:
    """The HKDF-SHA256 final key."""

def derive_key_blake3(entropy_pool: Buffer, context: str, key_size: int, /) -> bytes:
    """The BLAKE3 final key."""

def derive(image_hash: Buffer, nonce: Buffer, timestamp: int, version: str, pixels: Buffer,
           width: int, height: int, walk: str, steps: int, layers: int, threads: int | None,
           kdf: str, info_or_context: Buffer | str, key_size: int, /) -> bytes:
    """The final key from the image hash and the pixels, in one call."""

def sha3_256(data: Buffer, /) -> bytes:
    """SHA3-256 of a bytes-like object: the image hash."""

def pack_rgb_in_place(pixels: Buffer, pixel_count: int, /) -> bytes:
    """Packs 4-byte pixels to 3-byte RGB at the buffer's front; returns their SHA3-256."""

def row_packer(pixels: Buffer, width: int, height: int, /) -> object:
    """A packer of the rows a decoder writes into the buffer as 4-byte RGB pixels."""

def decoded_rows(packer: object, start: int, /) -> int:
    """The row after the last finished one, from ``start``; while the decoder is stopped."""

def pack_rows(packer: object, until: int, /) -> None:
    """Packs and hashes every finished row below ``until``."""

def finish_rows(packer: object, /) -> bytes:
    """Packs the remaining rows and returns the SHA3-256 of the packed bytes."""

def pool_thread_count() -> int:
    """The thread count _quorvex_core's worker pool would take if it were created now."""

def parse_decimal_u64(text: str, /) -> int | None:
    """A strict decimal number of 0 to 2**64 - 1, or None."""
