"""Plain Python models of the module's functions, written from the scheme's
description with independent primitives (hashlib, hmac, the blake3 package).
Slow and obvious on purpose: they are the oracle the module is checked
against."""
import hashlib
import math
import struct
import hmac

import blake3

from fixed_texts import (CAPACITY_OVERFLOW, PIXEL_LENGTH, SEED_LENGTH, ZERO_DIVISOR,
                         out_of_bounds, unequal)


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


# --- SHA3 walk ---------------------------------------------------------------

class ModelPanic(Exception):
    """What the module reports as PanicException, with the same message."""


def _assert_equal(message, found, required):
    if found != required:
        raise ModelPanic(unequal(message, found, required))


def _i32(value):
    """The low 32 bits of value as a signed 32-bit integer."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def _read(pixels, index):
    index %= 2**64
    if index >= len(pixels):
        raise ModelPanic(out_of_bounds(len(pixels), index))
    return pixels[index]


def _pixel(pixels, width, column, row):
    at = (row * width + column) * 3
    return _read(pixels, at), _read(pixels, at + 1), _read(pixels, at + 2)


def luminance(r, g, b):
    return ((0.299 * r + 0.587 * g) + 0.114 * b) / 255.0


def to_i32(value):
    if value != value:
        return 0
    if value <= -2147483648.0:
        return -2147483648
    if value >= 2147483647.0:
        return 2147483647
    return int(value)


def window_deviation(pixels, width, height, x, y):
    column_begin = max(_i32(_i32(x) - 1), 0)
    column_end = min(_i32(_i32(x) + 2), _i32(width))
    row_begin = max(_i32(_i32(y) - 1), 0)
    row_end = min(_i32(_i32(y) + 2), _i32(height))
    values = [luminance(*_pixel(pixels, width, c, r))
              for r in range(row_begin, row_end)
              for c in range(column_begin, column_end)]
    # A plain loop: sum() of floats is compensated since Python 3.12.
    total = 0.0
    for v in values:
        total += v
    mean = total / len(values)
    squares = 0.0
    for v in values:
        squares += (v - mean) * (v - mean)
    return math.sqrt(squares / len(values))


def neighbor_bytes(pixels, width, height, x, y):
    out = b""
    for dx in (-1, 0, 1):
        for dy in (-1, 0, 1):
            if dx == 0 and dy == 0:
                continue
            nx, ny = _i32(_i32(x) + dx), _i32(_i32(y) + dy)
            if 0 <= nx < _i32(width) and 0 <= ny < _i32(height):
                out += bytes(_pixel(pixels, width, nx, ny))
    return out


def step_record(pixels, width, height, state):
    x = int.from_bytes(state[0:4], "big") % width
    y = int.from_bytes(state[4:8], "big") % height
    r, g, b = _pixel(pixels, width, x, y)
    luminance_milli = to_i32(luminance(r, g, b) * 1000.0)
    deviation_milli = to_i32(window_deviation(pixels, width, height, x, y) * 1000.0)
    record = (x.to_bytes(4, "big") + y.to_bytes(4, "big") + bytes((r, g, b))
              + f"#{r:02x}{g:02x}{b:02x}".encode()
              + luminance_milli.to_bytes(4, "big", signed=True)
              + deviation_milli.to_bytes(4, "big", signed=True))
    return x, y, record


def walk_step(pixels, width, height, state):
    x, y, record = step_record(pixels, width, height, state)
    neighbors = neighbor_bytes(pixels, width, height, x, y)
    position = x.to_bytes(4, "big") + y.to_bytes(4, "big")
    new_state = hashlib.sha3_512(state + record + position + neighbors).digest()
    visit = hashlib.sha3_256(new_state + record).digest()
    return new_state, visit


def sha3_walk(seed, pixels, width, height, steps, layers, trace=None):
    """trace, a list, collects every intermediate secret: walk states,
    visit digests and layer digests."""
    trace = [] if trace is None else trace
    pool = hashlib.sha3_512()
    if layers == 0:
        return pool.digest()
    _assert_equal(SEED_LENGTH, len(seed), 64)
    _assert_equal(PIXEL_LENGTH, len(pixels), width * height * 3 % 2**64)
    if steps * 32 > 2**63 - 1:
        raise ModelPanic(CAPACITY_OVERFLOW)
    state = seed
    for _ in range(layers):
        if steps and (width == 0 or height == 0):
            raise ModelPanic(ZERO_DIVISOR)
        visits = b""
        for _ in range(steps):
            state, visit = walk_step(pixels, width, height, state)
            visits += visit
            trace += [state, visit]
        trace.append(hashlib.sha3_512(visits).digest())
        pool.update(trace[-1])
    return pool.digest()


# --- BLAKE3 walk ---------------------------------------------------------------

def _b3(data):
    return blake3.blake3(data).digest()


def _f32(value):
    """Rounds a Python float to binary32."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


RED, GREEN, BLUE = _f32(0.299), _f32(0.587), _f32(0.114)


def luminance_byte(r, g, b):
    # Every product and sum rounded to binary32 on its own.
    value = _f32(_f32(_f32(r * RED) + _f32(g * GREEN)) + _f32(b * BLUE))
    return int(min(max(value, 0.0), 255.0))


def _clamp(value, high):
    return 0 if value < 0 else (high if value > high else value)


def chunk_walk(chunk_seed, pixels, width, height, steps, trace=None):
    def pixel(x, y):
        at = (y * width + x) * 3
        return bytes(_read(pixels, at + k) for k in range(3))

    h = _b3(chunk_seed)

    def anchor():
        return (int.from_bytes(h[0:4], "little") % width,
                int.from_bytes(h[4:8], "little") % height)

    ox, oy = anchor()
    accumulator = hashlib.sha3_256()
    for s in range(steps):
        if s > 0 and s % 512 == 0:
            ox, oy = anchor()
        x = min(ox + (h[8] & 0x3F), width - 1)
        y = min(oy + (h[9] & 0x3F), height - 1)
        centre = pixel(x, y)
        hood = b"".join(pixel(_clamp(x + dx, width - 1), _clamp(y + dy, height - 1))
                        for dy in (-1, 0, 1) for dx in (-1, 0, 1))
        message = (h + centre + hood + x.to_bytes(4, "little") + y.to_bytes(4, "little")
                   + bytes([luminance_byte(*centre)]))
        assert len(message) == 71
        h = _b3(message)
        accumulator.update(h)
        if trace is not None:
            trace.append(h)
    return h, accumulator.digest()


def blake3_walk(seed, pixels, width, height, steps, layers, threads, trace=None):
    """trace, a list, collects every chain value, chunk result and layer
    digest."""
    trace = [] if trace is None else trace
    per_chunk = max(steps // threads, 1)
    prev = _b3(seed)
    layer_digests = b""
    for layer in range(layers):
        if width == 0 or height == 0:
            raise ModelPanic(ZERO_DIVISOR)
        results = [chunk_walk(_b3(prev + j.to_bytes(8, "little") + b"quorvex-v3-chunk"),
                              pixels, width, height, per_chunk, trace)
                   for j in range(threads)]
        trace += [digest for _, digest in results]
        layer_digests += _b3((layer % 2**32).to_bytes(4, "little")
                             + b"".join(digest for _, digest in results))
        prev = _b3(prev + b"".join(chain for chain, _ in results))
        trace += [layer_digests[-32:], prev]
    return _b3(layer_digests)
