"""An embedding host that finalizes and re-initializes the interpreter gets
a working module again, with no objects of the dead interpreter."""
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _quorvex_core

HOST = r"""
#include <Python.h>
#include <stdio.h>

static int run_once(int round) {
    Py_Initialize();
    int status = PyRun_SimpleString(
        /* hashlib itself does not survive re-initialization in 3.12, so the
           seed is checked against it by the test, not here. */
        "import _quorvex_core as q\n"
        "print(bytes(q.generate_initial_seed(b'', b'', 0, '')).hex(), flush=True)\n"
        "assert q.__all__[0] == 'generate_initial_seed' and len(q.__all__) == 5\n"
        "try:\n"
        "    q.derive_key_blake3(b'', 'c', 1)\n"
        "except BaseException as e:\n"
        "    assert type(e).__name__ == 'PanicException', e\n"
        "    assert isinstance(e, BaseException) and not isinstance(e, Exception)\n"
        "print('round ok', flush=True)\n");
    if (Py_FinalizeEx() < 0) return 1;
    return status;
}

int main(void) {
    for (int round = 0; round < 3; ++round) {
        if (run_once(round) != 0) return 1;
    }
    return 0;
}
"""


def embed_flags():
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    include = sysconfig.get_paths()["include"]
    return [f"-I{include}"], [f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}"]


def python_home():
    """The installation the embedded interpreter takes its standard library
    from: the base one, never the virtual environment the tests run in,
    which has none of its own. (sysconfig's "prefix" was the base one up to
    3.13; from 3.14 on it is the virtual environment.)"""
    if sys.base_exec_prefix == sys.base_prefix:
        return sys.base_prefix
    return os.pathsep.join([sys.base_prefix, sys.base_exec_prefix])


@pytest.mark.skipif(not sysconfig.get_config_var("Py_ENABLE_SHARED"),
                    reason="needs a shared libpython to embed")
@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_finalize_and_reinitialize(tmp_path):
    source = tmp_path / "host.c"
    source.write_text(HOST)
    compile_flags, link_flags = embed_flags()
    binary = tmp_path / "host"
    subprocess.run(["cc", *compile_flags, str(source), "-o", str(binary), *link_flags],
                   check=True, capture_output=True)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(_quorvex_core.__file__)] + env.get("PYTHONPATH", "").split(os.pathsep))
    env["PYTHONHOME"] = python_home()
    result = subprocess.run([str(binary)], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    seed = hashlib.sha3_512(b"0").hexdigest()
    assert result.stdout.split("\n")[:6] == [seed, "round ok"] * 3
