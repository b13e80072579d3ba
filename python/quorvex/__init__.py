"""quorvex: cryptographic keys derived from an image.

The host side of the scheme: load an image as 8-bit RGB, bind its hash, a
nonce, a timestamp and a version into a seed, walk the pixels into an
entropy pool and derive the final key, with the package's native engine
(the core of ``_quorvex_core``, without the interpreter lock) doing the
work::

    import quorvex
    key = quorvex.derive_key("photo.png", nonce=bytes(16), timestamp=1_700_000_000)
"""

__version__ = "0.1.0"

from ._host import Derivation, KeyMismatchError, WorkerPoolError, derive, derive_key
from ._image import DroppedInputWarning, RgbImage, image_hash, load_image, sample_image
from ._options import (
    DEFAULT_CONTEXT,
    DEFAULT_INFO,
    DEFAULT_KDF,
    DEFAULT_KEY_SIZE,
    DEFAULT_LAYERS,
    DEFAULT_STEPS,
    DEFAULT_VERSION,
    DEFAULT_WALK,
    KDFS,
    KEY_SIZES,
    MAX_THREADS,
    WALKS,
)

__all__ = [
    "DEFAULT_CONTEXT",
    "DEFAULT_INFO",
    "DEFAULT_KDF",
    "DEFAULT_KEY_SIZE",
    "DEFAULT_LAYERS",
    "DEFAULT_STEPS",
    "DEFAULT_VERSION",
    "DEFAULT_WALK",
    "Derivation",
    "DroppedInputWarning",
    "KDFS",
    "KEY_SIZES",
    "KeyMismatchError",
    "MAX_THREADS",
    "RgbImage",
    "WALKS",
    "WorkerPoolError",
    "derive",
    "derive_key",
    "image_hash",
    "load_image",
    "sample_image",
]
