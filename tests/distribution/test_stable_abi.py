"""scripts/test audits the repaired wheel with `abi3audit --strict`: its
extensions may use only what CPython 3.12's stable ABI offers, as the
cp312-abi3 tag promises. These tests show that the audit fails the run when
an extension in that very wheel steps outside it (the audit of the wheel
itself is its own stage of scripts/test)."""
import os
import re
import shutil
import subprocess
import sysconfig
import zipfile

import pytest

from conftest import tool

# An extension built for the limited API of 3.12 that also reaches past it,
# the way a careless declaration or a wrong Py_LIMITED_API would: once to a
# private function of the full API, once to a function that joined the
# stable ABI only in 3.13.
INTRUDER = r"""
#define Py_LIMITED_API 0x030C0000
#include <Python.h>

PyAPI_FUNC(void) _PyObject_Dump(PyObject *);
PyAPI_FUNC(int) PyDict_GetItemRef(PyObject *, PyObject *, PyObject **);

PyObject *intruder_dump(PyObject *object) {
    _PyObject_Dump(object);
    return object;
}

int intruder_lookup(PyObject *dict, PyObject *key, PyObject **value) {
    return PyDict_GetItemRef(dict, key, value);
}
"""


def audit(wheel):
    """abi3audit as scripts/test runs it, verbose for the symbols' table (wide
    enough that no name is cut)."""
    return subprocess.run([tool("abi3audit"), "--strict", "--verbose", "--summary", str(wheel)],
                          capture_output=True, text=True, timeout=300,
                          env={**os.environ, "COLUMNS": "200"})


def wheel_with_intruder(repaired_wheel, tmp_path):
    """A copy of the repaired wheel, same name and tag, with one more
    extension that uses the two symbols above."""
    source = tmp_path / "intruder.c"
    source.write_text(INTRUDER)
    extension = tmp_path / "_intruder.abi3.so"
    subprocess.run(["cc", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                    str(source), "-o", str(extension)], check=True, capture_output=True)
    wheel = tmp_path / "wheel" / repaired_wheel.name
    wheel.parent.mkdir()
    shutil.copyfile(repaired_wheel, wheel)
    with zipfile.ZipFile(wheel, "a") as archive:
        archive.write(extension, "quorvex/_intruder.abi3.so")
    return wheel


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_audit_fails_on_symbols_outside_the_stable_abi_of_3_12(repaired_wheel, tmp_path):
    report = audit(wheel_with_intruder(repaired_wheel, tmp_path))
    output = report.stdout + report.stderr
    assert report.returncode != 0, output
    assert re.search(r"\b_PyObject_Dump\W+not ABI3\b", output), output
    assert re.search(r"\bPyDict_GetItemRef\W+3\.13\b", output), output
    assert "_quorvex_core" not in output, output

