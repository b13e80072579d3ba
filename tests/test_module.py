"""The module object, its function table, docstrings and import rules."""
import importlib
import inspect
import sys
import types

import pytest

from conftest import run_python
from fixed_texts import DOCS, NAMES, SIGNATURES, SUBINTERPRETER


def test_module_attributes(q):
    assert q.__name__ == "_quorvex_core"
    assert q.__doc__ == ""
    assert q.__all__ == NAMES
    assert type(q.__all__) is list
    # Functions come in table order, which is also the order of __all__.
    assert [name for name in vars(q) if name in NAMES] == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(q, name):
    function = getattr(q, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "_quorvex_core"
    assert function.__self__ is q
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ == DOCS[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    parameters = inspect.signature(function).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in parameters)


def test_reimport_returns_the_same_module(q):
    del sys.modules["_quorvex_core"]
    again = importlib.import_module("_quorvex_core")
    assert again is q
    assert again.__all__ == NAMES
    assert importlib.reload(q) is q
    assert q.__all__ == NAMES


def test_no_worker_threads_at_import():
    result = run_python("""
        import os, _quorvex_core
        print(len(os.listdir('/proc/self/task')))
    """)
    assert result.stdout.strip() == "1"


SUBINTERPRETER_312 = """
    import _xxsubinterpreters as interpreters
    import _quorvex_core
    def attempt(isolated):
        interp = interpreters.create(isolated=isolated)
        try:
            interpreters.run_string(interp, "import _quorvex_core")
        except interpreters.RunFailedError as error:
            return str(error)
        finally:
            interpreters.destroy(interp)
        return "imported"
"""

SUBINTERPRETER_313 = """
    import _interpreters as interpreters
    import _quorvex_core
    def attempt(isolated):
        interp = interpreters.create("isolated" if isolated else "legacy")
        try:
            failure = interpreters.exec(interp, "import _quorvex_core")
        finally:
            interpreters.destroy(interp)
        if failure is None:
            return "imported"
        return f"{failure.type.__name__}: {failure.msg}"
"""


def subinterpreter_script():
    return SUBINTERPRETER_312 if sys.version_info < (3, 13) else SUBINTERPRETER_313


def test_subinterpreter_import_is_refused():
    result = run_python(subinterpreter_script() + """
    print(attempt(isolated=False))
    print("---")
    print(attempt(isolated=True))
    print("---")
    import hashlib
    print(bytes(_quorvex_core.generate_initial_seed(b"", b"", 0, ""))
          == hashlib.sha3_512(b"0").digest())
    """)
    legacy, isolated, still_works = result.stdout.split("---\n")
    # A legacy subinterpreter reaches the module's own ownership check.
    assert "ImportError" in legacy
    assert SUBINTERPRETER in legacy
    # An isolated one refuses a single-phase module before our code runs.
    assert "ImportError" in isolated
    assert "does not support loading in subinterpreters" in isolated
    assert still_works.strip() == "True"


def test_subinterpreter_refused_after_main_module_deleted():
    result = run_python(subinterpreter_script() + """
    import sys
    del sys.modules["_quorvex_core"]
    del _quorvex_core
    print(attempt(isolated=False))
    """)
    assert SUBINTERPRETER in result.stdout


def test_exported_symbols(q):
    """PyInit__quorvex_core is the only symbol the shared object exports."""
    import shutil
    import subprocess
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", q.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__quorvex_core"]
    assert q.__file__.endswith(".abi3.so")
