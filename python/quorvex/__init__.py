"""quorvex: cryptographic keys derived from an image.

The host side of the scheme: load an image as 8-bit RGB, bind its hash, a
nonce, a timestamp and a version into a seed, walk the pixels into an
entropy pool and derive the final key, with the package's native engine
(the core of ``_quorvex_core``, without the interpreter lock) doing the work.
The picture is the only secret: a key's record holds every other input.
"""

__version__ = "0.1.0"

from ._host import (
    Derivation,
    KeyMismatchError,
    RecordedInputs,
    WorkerPoolError,
    derive,
    derive_key,
)
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
    "RecordedInputs",
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
