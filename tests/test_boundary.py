"""Fatal failures as PanicException, the diagnostic, and resumed panics."""
import pytest

from conftest import raises_panic, run_python
from fixed_texts import KEY_SIZE, RESUMING_PANIC, diagnostic

POOL = bytes(range(64))


def panic_type(q):
    try:
        q.derive_key_blake3(POOL, "c", 20)
    except BaseException as error:  # noqa: BLE001 - that is the point
        return type(error)
    raise AssertionError("no failure")


def test_panic_exception_class(q):
    panic = panic_type(q)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__mro__ == (panic, BaseException, object)
    assert "BaseException" in panic.__doc__
    assert not hasattr(q, "PanicException")
    # One class per process, whichever call fails.
    assert panic_type(q) is panic


@pytest.mark.parametrize("call", [
    lambda q: q.derive_key_blake3(POOL, "ctx", 20),
    lambda q: q.derive_key_hkdf(POOL, b"", b"", 24),
])
def test_panic_is_not_an_exception_and_module_stays_usable(q, call):
    with raises_panic(KEY_SIZE):
        try:
            call(q)
        except Exception:  # noqa: BLE001
            pytest.fail("a handler for Exception must not catch PanicException")
    assert len(q.derive_key_blake3(POOL, "ctx", 32)) == 32


def test_panic_class_not_created_before_first_failure():
    result = run_python("""
        import gc, _quorvex_core as q
        def panics():
            return [o for o in gc.get_objects()
                    if isinstance(o, type) and o.__name__ == "PanicException"]
        q.derive_key_hkdf(b"", b"", b"", 16)
        print(len(panics()))
        try:
            q.derive_key_hkdf(b"", b"", b"", 17)
        except BaseException:
            pass
        print(len(panics()))
    """)
    assert result.stdout.split() == ["0", "1"]


def test_diagnostic_on_stderr():
    result = run_python("""
        import _quorvex_core as q
        try:
            q.derive_key_hkdf(b"", b"", b"", 0)
        except BaseException as e:
            print(type(e).__name__, e)
    """)
    assert result.stdout.strip() == "PanicException " + KEY_SIZE
    assert diagnostic("main", "src/core/kdf.cpp") in result.stderr
    assert KEY_SIZE in result.stderr


def test_argument_errors_are_not_panics(q):
    with pytest.raises(TypeError):
        q.derive_key_hkdf(POOL, b"", b"", "32")
    with pytest.raises(OverflowError):
        q.derive_key_hkdf(POOL, b"", b"", -32)


def test_panic_exception_raised_from_python_is_resumed():
    result = run_python("""
        import _quorvex_core as q
        try:
            q.derive_key_hkdf(b"", b"", b"", 1)
        except BaseException as e:
            Panic = type(e)

        class Evil:
            def __index__(self):
                raise Panic("from python \\u00e9 \\udcff")

        try:
            q.derive_key_hkdf(b"", b"", b"", Evil())
        except BaseException as e:
            print(type(e) is Panic, ascii(e.args))
        else:
            print("no exception")
    """)
    assert result.stdout.strip() == "True ('from python \\xe9 \\udcff',)"
    assert RESUMING_PANIC in result.stderr
    # The interpreter printed the original exception with its traceback.
    assert "Traceback" in result.stderr and "in __index__" in result.stderr


def test_resumed_panic_keeps_its_reference():
    """One saved PanicException raised from __index__ again and again: the
    module hands it back to the interpreter with a reference of its own each
    time, so its count ends where it started."""
    result = run_python("""
        import sys, _quorvex_core as q
        try:
            q.derive_key_hkdf(b"", b"", b"", 1)
        except BaseException as e:
            saved = e

        class Evil:
            def __index__(self):
                raise saved

        before = sys.getrefcount(saved)
        for _ in range(20):
            try:
                q.derive_key_hkdf(b"", b"", b"", Evil())
            except BaseException as e:
                assert e is not saved and e.args == saved.args
        print(sys.getrefcount(saved) - before)
    """)
    assert result.stdout.strip() == "0"


LEAK_SCRIPT = """
    import ctypes, _quorvex_core as q

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2

    def heap_in_use():
        # Bytes handed out by malloc: the module's allocations, exactly,
        # without the page-level noise of the resident size.
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    def calls():
        q.generate_initial_seed(bytes(32), b"n", 5, "v")
        q.derive_key_hkdf(bytes(64), b"s", b"i", 64)
        q.derive_key_blake3(bytes(64), "c", 64)
        q.execute_multilayer_sha3(bytes(64), bytes(48), 4, 4, 2, 1)
        q.execute_multilayer_blake3(b"", bytes(48), 4, 4, 2, 1)
        for bad in (lambda: q.derive_key_hkdf(b"", b"", b"", 1),
                    lambda: q.execute_multilayer_sha3(bytes(63), b"", 0, 0, 1, 1),
                    lambda: q.execute_multilayer_blake3(b"", bytes(3), 4, 4, 9, 1),
                    lambda: q.generate_initial_seed(b"", b"", -1, "")):
            try:
                bad()
            except BaseException:
                pass

    for _ in range(2000):
        calls()
    samples = [heap_in_use()]
    for _ in range(5):
        for _ in range(4000):
            calls()
        samples.append(heap_in_use())
    print(" ".join(str(b - a) for a, b in zip(samples, samples[1:])))
"""


@pytest.mark.skipif(__import__("os").environ.get("HYPOTHESIS_PROFILE") == "sanitize",
                    reason="AddressSanitizer's quarantine holds freed memory on purpose")
def test_repeated_calls_do_not_grow_memory():
    result = run_python(LEAK_SCRIPT, env={"RAYON_NUM_THREADS": "2", "PYTHONMALLOC": "malloc"},
                        timeout=300)
    growth = sorted(int(g) for g in result.stdout.split())
    # A leak grows the heap in every block of 4000 rounds (16 bytes a round
    # is 64 KB a block); a one-off growth of the interpreter's own tables
    # shows in one block only. Judge the median block.
    assert growth[len(growth) // 2] < 4000, growth
