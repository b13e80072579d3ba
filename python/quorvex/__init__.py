"""quorvex: cryptographic keys derived from an image.

The host side of the scheme: load an image as 8-bit RGB, bind its hash, a
nonce, a timestamp and a version into a seed, walk the pixels into an
entropy pool and derive the final key, with the native core doing the work.
The picture is the only secret: a key's record holds every other input.
"""

__version__ = "0.1.0"

import typing as _typing

from ._host import Derivation, KeyMismatchError, WorkerPoolError, derive, derive_key
from ._image import DroppedInputWarning, RgbImage, image_hash, load_image, sample_image
from ._many import CheckResult, check_many, derive_many
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
    OptionError,
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
    "CheckResult",
    "Derivation",
    "DroppedInputWarning",
    "KDFS",
    "KEY_SIZES",
    "KeyMismatchError",
    "MAX_THREADS",
    "OptionError",
    "RgbImage",
    "WALKS",
    "WorkerPoolError",
    "check_many",
    "derive",
    "derive_key",
    "derive_many",
    "image_hash",
    "load_image",
    "sample_image",
]

# Public classes and functions live in private modules; they show the
# package as their home (in reprs, tracebacks and help()), and pickle by
# that name, which is the one that stays put.
for _name in __all__:
    _value = globals()[_name]
    if isinstance(_value, type) or callable(_value):
        _value.__module__ = __name__
del _name, _value

# The thread-count pinning of the BLAKE3 walk is on its way out of the
# public API: these names still answer, for code written against it, but
# are no longer exported or documented.
_RETIRED = frozenset({"ThreadCountError", "pin_thread_count", "pinned_thread_count"})


def __getattr__(name: str) -> _typing.Any:
    if name in _RETIRED:
        from . import _threads
        return getattr(_threads, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
