"""quorvex._engine: the pool's thread-count rule as the host sees it.
Its answers against the pool itself are in test_host.py; the rule's
branches (cgroups, affinity) are in the C++ tests."""
import shutil
import subprocess

import pytest

import _quorvex_core
from quorvex import _engine as _thread_count


def test_the_native_module_keeps_exactly_its_functions():
    public = sorted(name for name in vars(_quorvex_core) if not name.startswith("__"))
    assert public == sorted(_quorvex_core.__all__)
    assert len(_quorvex_core.__all__) == 5


def test_the_extension_exports_only_its_init_and_is_stable_abi():
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", _thread_count.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__engine"]
    assert _thread_count.__file__.endswith(".abi3.so")
    assert _thread_count.__name__ == "quorvex._engine"


def test_the_cap_is_the_pools():
    assert _thread_count.MAX_THREAD_COUNT == 65535


@pytest.mark.parametrize("text,value", [
    ("0", 0), ("+4", 4), ("007", 7), ("18446744073709551615", 2**64 - 1),
    ("18446744073709551616", None), ("", None), ("+", None), ("-1", None), (" 4", None),
    ("4 ", None), ("1_0", None), ("\u0664", None), ("\uff14", None), ("4\udcff", None),
    ("++4", None),
])
def test_decimal_numbers_follow_the_pools_rule(text, value):
    assert _thread_count.parse_decimal_u64(text) == value


@pytest.mark.parametrize("value", [b"4", 4, None, bytearray(b"4")])
def test_only_text_is_parsed(value):
    with pytest.raises(TypeError, match="must be str"):
        _thread_count.parse_decimal_u64(value)
