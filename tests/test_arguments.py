"""Argument matching, conversion, error wrapping and result conversion."""
import gc
import hashlib
import operator
import sys

import pytest

POOL = b"p" * 64


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type, info.value
    assert info.value.args == (message,)
    return info.value


@pytest.mark.parametrize("name,args,kwargs,message", [
    ("derive_key_hkdf", (b"", b"", b""), {},
     "derive_key_hkdf() missing 1 required positional argument: 'key_size'"),
    ("derive_key_hkdf", (b"",), {},
     "derive_key_hkdf() missing 3 required positional arguments: 'salt', 'info', and 'key_size'"),
    ("generate_initial_seed", (b"", b""), {},
     "generate_initial_seed() missing 2 required positional arguments: 'timestamp' and 'version'"),
    ("execute_multilayer_sha3", (), {},
     "execute_multilayer_sha3() missing 6 required positional arguments: "
     "'initial_seed', 'pixels', 'width', 'height', 'steps', and 'layers'"),
    ("derive_key_blake3", (POOL, "c", 32, 4), {},
     "derive_key_blake3() takes 3 positional arguments but 4 were given"),
    # Too many positional arguments is reported before any keyword is looked at.
    ("derive_key_blake3", (POOL, "c", 32, 4), {"bogus": 1},
     "derive_key_blake3() takes 3 positional arguments but 4 were given"),
    ("derive_key_blake3", (POOL, "c", 32), {"context": "d"},
     "derive_key_blake3() got multiple values for argument 'context'"),
    ("derive_key_blake3", (POOL, "c"), {"key_sise": 32},
     "derive_key_blake3() got an unexpected keyword argument 'key_sise'"),
    # Only the first bad keyword, in the order written, is named.
    ("derive_key_blake3", (POOL,), {"zeta": 1, "alpha": 2},
     "derive_key_blake3() got an unexpected keyword argument 'zeta'"),
    ("derive_key_blake3", (POOL,), {"alpha": 2, "zeta": 1},
     "derive_key_blake3() got an unexpected keyword argument 'alpha'"),
    # Matching is case-sensitive and exact, including NUL bytes in the text.
    ("derive_key_blake3", (POOL, "c"), {"Key_size": 32},
     "derive_key_blake3() got an unexpected keyword argument 'Key_size'"),
    ("derive_key_blake3", (POOL, "c"), {"key_size\0": 32},
     "derive_key_blake3() got an unexpected keyword argument 'key_size\0'"),
    # An unknown keyword wins over a missing parameter.
    ("derive_key_hkdf", (), {"nope": 1},
     "derive_key_hkdf() got an unexpected keyword argument 'nope'"),
    ("generate_initial_seed", (b"", b""), {"version": "v"},
     "generate_initial_seed() missing 1 required positional argument: 'timestamp'"),
])
def test_matching_errors(q, name, args, kwargs, message):
    raises_exactly(TypeError, message, getattr(q, name), *args, **kwargs)


def call_with_raw_kwargs(function, args, kwargs):
    """Calls through the C API, which (unlike Python syntax) lets a keyword
    dictionary hold keys that are not str."""
    import ctypes
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(function, args, kwargs)


@pytest.mark.parametrize("key,shown", [(1, "1"), (b"ctx", "b'ctx'"),
                                       ("\udcff", "\udcff")])
def test_keyword_key_that_is_not_usable_text(q, key, shown):
    # The message shows str() of the key.
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs(q.derive_key_blake3, (POOL, "c"), {key: 32})
    assert info.value.args == (
        f"derive_key_blake3() got an unexpected keyword argument '{shown}'",)


@pytest.mark.parametrize("name,args,message", [
    ("execute_multilayer_sha3", (bytearray(64), b"", 0, 0, 0, 0),
     "argument 'initial_seed': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("execute_multilayer_sha3", (b"", memoryview(b""), 0, 0, 0, 0),
     "argument 'pixels': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("generate_initial_seed", (b"", b"", 0, b"v1"),
     "argument 'version': 'bytes' object cannot be converted to 'PyString'"),
    ("generate_initial_seed", ("hash", b"", 0, "v"),
     "argument 'image_hash': 'str' object cannot be converted to 'PyBytes'"),
    ("derive_key_hkdf", (POOL, None, b"", 32),
     "argument 'salt': 'NoneType' object cannot be converted to 'PyBytes'"),
    ("derive_key_hkdf", (POOL, b"", [1], 32),
     "argument 'info': 'list' object cannot be converted to 'PyBytes'"),
    ("derive_key_blake3", (POOL, b"quorvex-lin-tav-v1.0", 32),
     "argument 'context': 'bytes' object cannot be converted to 'PyString'"),
    ("execute_multilayer_sha3", (b"", b"", 1.0, 0, 0, 0),
     "argument 'width': 'float' object cannot be interpreted as an integer"),
    ("execute_multilayer_blake3", (b"", b"", 0, 0, "3", 0),
     "argument 'steps': 'str' object cannot be interpreted as an integer"),
    ("derive_key_hkdf", (POOL, b"", b"", None),
     "argument 'key_size': 'NoneType' object cannot be interpreted as an integer"),
    # When several arguments are wrong only the first, in parameter order, counts.
    ("derive_key_hkdf", (POOL, 1, 2, "x"),
     "argument 'salt': 'int' object cannot be converted to 'PyBytes'"),
])
def test_conversion_type_errors(q, name, args, message):
    error = raises_exactly(TypeError, message, getattr(q, name), *args)
    assert error.__cause__ is None


class Outer:
    class Inner:
        pass


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Nameless(metaclass=NoQualname):
    pass


@pytest.mark.parametrize("value,shown", [
    (Outer.Inner(), "Outer.Inner"),
    (Nameless(), "<failed to extract type name>"),
])
def test_type_name_is_the_qualname(q, value, shown):
    raises_exactly(TypeError,
                   f"argument 'entropy_pool': '{shown}' object cannot be converted to 'PyBytes'",
                   q.derive_key_hkdf, value, b"", b"", 32)


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), 2**100])
def test_out_of_range_integers_raise_overflow_unchanged(q, value):
    with pytest.raises(OverflowError) as info:
        q.generate_initial_seed(b"", b"", value, "")
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSubclass(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted directly")


@pytest.mark.parametrize("value,expected", [
    (True, 1), (False, 0), (Index(5), 5), (IntSubclass(7), 7),
    (2**64 - 1, 2**64 - 1), (Index(2**64 - 1), 2**64 - 1),
])
def test_integer_forms(q, value, expected):
    seed = q.generate_initial_seed(b"", b"", value, "")
    assert bytes(seed) == hashlib.sha3_512(str(expected).encode()).digest()


def test_index_errors_pass_through(q):
    class Bad:
        def __index__(self):
            raise KeyError("mine")

    class WrongType:
        def __index__(self):
            return 1.5

    with pytest.raises(KeyError, match="mine"):
        q.generate_initial_seed(b"", b"", Bad(), "")
    # A TypeError raised for __index__ gets the argument name before the
    # interpreter's own message, whose wording changed in 3.15.
    with pytest.raises(TypeError) as interpreter:
        operator.index(WrongType())
    if sys.version_info < (3, 15):
        assert str(interpreter.value).startswith("__index__ returned non-int")
    with pytest.raises(TypeError) as raised:
        q.generate_initial_seed(b"", b"", WrongType(), "")
    assert str(raised.value) == f"argument 'timestamp': {interpreter.value}"
    with pytest.raises(OverflowError):
        q.generate_initial_seed(b"", b"", Index(-3), "")


def test_type_error_cause_carries_over(q):
    cause = ValueError("root")

    class Chained:
        def __index__(self):
            error = TypeError("chained")
            error.__cause__ = cause
            raise error

    with pytest.raises(TypeError) as info:
        q.derive_key_hkdf(POOL, b"", b"", Chained())
    assert str(info.value) == "argument 'key_size': chained"
    assert info.value.__cause__ is cause


def test_type_error_subclass_is_not_wrapped(q):
    class MyTypeError(TypeError):
        pass

    class Raises:
        def __index__(self):
            raise MyTypeError("own")

    with pytest.raises(MyTypeError) as info:
        q.derive_key_hkdf(POOL, b"", b"", Raises())
    assert str(info.value) == "own"


@pytest.mark.parametrize("text", ["\ud800", "a\udcffb"])
def test_surrogates_raise_unicode_encode_error(q, text):
    with pytest.raises(UnicodeEncodeError) as info:
        q.derive_key_blake3(POOL, text, 32)
    assert "argument" not in str(info.value)
    with pytest.raises(UnicodeEncodeError):
        q.generate_initial_seed(b"", b"", 0, text)


def test_subclasses_are_accepted(q):
    class B(bytes):
        pass

    class S(str):
        pass

    assert q.derive_key_blake3(B(POOL), S("ctx"), 32) == q.derive_key_blake3(POOL, "ctx", 32)
    assert q.derive_key_hkdf(B(POOL), B(b"s"), B(b"i"), 16) == q.derive_key_hkdf(POOL, b"s", b"i", 16)


def test_conversion_stops_at_first_failure(q):
    calls = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __index__(self):
            calls.append(self.name)
            raise ValueError(self.name)

    with pytest.raises(ValueError, match="width"):
        q.execute_multilayer_sha3(b"", b"", Tracked("width"), Tracked("height"), 0, 0)
    assert calls == ["width"]


@pytest.mark.parametrize("name,positional,keywords", [
    ("derive_key_hkdf", (POOL, b"salt", b"info", 32),
     {"key_size": 32, "info": b"info", "salt": b"salt", "entropy_pool": POOL}),
    ("derive_key_blake3", (POOL, "ctx", 64),
     {"context": "ctx", "key_size": 64, "entropy_pool": POOL}),
    ("generate_initial_seed", (b"h", b"n", 9, "v"),
     {"version": "v", "timestamp": 9, "nonce": b"n", "image_hash": b"h"}),
])
def test_keywords_in_any_order(q, name, positional, keywords):
    function = getattr(q, name)
    assert function(**keywords) == function(*positional)
    assert function(*positional[:1], **{k: v for k, v in keywords.items()
                                         if k != function.__text_signature__[1:].split(",")[0]}) \
        == function(*positional)


def test_results_are_lists_of_small_ints(q):
    result = q.derive_key_hkdf(POOL, b"", b"", 64)
    assert type(result) is list
    assert all(type(item) is int and 0 <= item <= 255 for item in result)


def test_arguments_survive_user_code_dropping_them(q):
    """__index__ may clear the very keyword dictionary the call reads, and so
    drop the last reference to an argument; the call must still read valid
    bytes. PyObject_Call hands the function that dictionary itself, where
    f(**d) would hand it a copy."""
    pool = bytes(range(64)) * 100
    expected = q.derive_key_hkdf(pool, b"salt", b"info", 32)
    # A pool object of its own, held by nothing but the dictionary.
    keywords = {"entropy_pool": bytes(range(64)) * 100, "salt": b"salt", "info": b"info"}
    refill = []

    class Dropper:
        def __index__(self):
            keywords.clear()
            gc.collect()
            # Blocks of the dropped pool's size, with other bytes, take its place.
            refill.extend(b"\xee" * len(pool) for _ in range(8))
            return 32

    keywords["key_size"] = Dropper()
    assert call_with_raw_kwargs(q.derive_key_hkdf, (), keywords) == expected
    assert keywords == {}


def test_failing_conversions_leave_allocated_blocks_flat(q):
    """A conversion error builds its message from str objects, each one
    replacing the last; none may be left behind."""
    def fail():
        try:
            q.derive_key_hkdf(POOL, b"", [], 32)
        except TypeError:
            pass

    for _ in range(1000):  # caches and specialisations settle first
        fail()
    before = sys.getallocatedblocks()
    if before == 0:
        pytest.skip("the interpreter does not count its blocks (PYTHONMALLOC=malloc)")
    for _ in range(10_000):
        fail()
    assert sys.getallocatedblocks() - before < 100


def test_no_reference_leaks(q):
    pool = bytes(64)
    context = "ctx-" + "x" * 10
    pixels = bytes(range(48))
    before = (sys.getrefcount(pool), sys.getrefcount(context), sys.getrefcount(pixels))
    for _ in range(100):
        q.derive_key_blake3(pool, context, 32)
        q.execute_multilayer_sha3(pool, pixels, 4, 4, 3, 1)
        q.execute_multilayer_blake3(pool, pixels, 4, 4, 3, 1)
        with pytest.raises(BaseException):
            q.derive_key_blake3(pool, context, 5)
        with pytest.raises(BaseException):
            q.execute_multilayer_sha3(pool, pixels, 5, 4, 3, 1)
        with pytest.raises(TypeError):
            q.derive_key_blake3(pool, context, 5, 6)
        with pytest.raises(TypeError):
            q.execute_multilayer_blake3(pool, pixels=pixels, width=4, height=4, steps=1, layer=1)
    assert (sys.getrefcount(pool), sys.getrefcount(context), sys.getrefcount(pixels)) == before
