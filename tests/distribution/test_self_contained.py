"""The repaired wheel needs nothing from the machine beyond what every
manylinux system has: installed into a fresh virtual environment, it imports
and gives the known-answer results with the system's libgcrypt and
libgpg-error made unreadable (bind-mounted over with /dev/null in a private
mount namespace). The wheel as built, before auditwheel, fails the same
check, which shows that the check can fail."""
import json
import os
import pathlib
import re
import shlex
import subprocess

import pytest

from conftest import BASE_PYTHONS

VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors" / "vectors.json"
HIDDEN_PREFIXES = ("libgcrypt.so", "libgpg-error.so")
LIBRARY_DIRS = ("/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib",
                "/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu")

# Arguments: the vectors file, and "hidden" or "visible" for whether the
# system's libraries are expected to be out of reach. When hidden, it prints
# "hidden" once that is shown, and checks at the end that the libraries in
# use are the virtual environment's own.
CHECK = r"""
import ctypes, json, os, sys
expect_hidden = sys.argv[2] == "hidden"
if expect_hidden:
    for soname in ("libgcrypt.so.20", "libgpg-error.so.0"):
        try:
            ctypes.CDLL(soname)
        except OSError:
            continue
        sys.exit(f"{soname} can still be loaded: the system copy is not hidden")
    print("hidden", flush=True)

import _quorvex_core as q
import quorvex

vectors = json.load(open(sys.argv[1]))
checked = 0
for v in vectors["generate_initial_seed"]:
    seed = q.generate_initial_seed(bytes.fromhex(v["image_hash"]), bytes.fromhex(v["nonce"]),
                                   v["timestamp"], v["version"])
    assert bytes(seed).hex() == v["seed"], v
    checked += 1
for v in vectors["execute_multilayer_sha3"]:
    if "result" in v:
        pool = q.execute_multilayer_sha3(bytes.fromhex(v["initial_seed"]), bytes.fromhex(v["pixels"]),
                                         v["width"], v["height"], v["steps"], v["layers"])
        assert bytes(pool).hex() == v["result"], v
        checked += 1
for v in vectors["execute_multilayer_blake3"]:
    if "result" in v and v["threads"] == int(os.environ["RAYON_NUM_THREADS"]):
        pool = q.execute_multilayer_blake3(bytes.fromhex(v["initial_seed"]), bytes.fromhex(v["pixels"]),
                                           v["width"], v["height"], v["steps"], v["layers"])
        assert bytes(pool).hex() == v["result"], v
        checked += 1
for v in vectors["derive_key_hkdf"]:
    key = q.derive_key_hkdf(bytes.fromhex(v["entropy_pool"]), bytes.fromhex(v["salt"]),
                            bytes.fromhex(v["info"]), v["key_size"])
    assert bytes(key).hex() == v["key"], v
    checked += 1
for v in vectors["derive_key_blake3"]:
    key = q.derive_key_blake3(bytes.fromhex(v["entropy_pool"]), v["context"], v["key_size"])
    assert bytes(key).hex() == v["key"], v
    checked += 1

with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libgcrypt" in line or "libgpg-error" in line}
assert loaded, "libgcrypt is not loaded at all"
if expect_hidden:
    assert all(path.startswith(sys.prefix + "/") for path in loaded), loaded
print("checked", checked, quorvex.__version__, *sorted(loaded))
"""


def system_copies():
    """Every system file that the loader could take for libgcrypt or
    libgpg-error: the library directories and the loader's cache."""
    found = set()
    for directory in LIBRARY_DIRS:
        if os.path.isdir(directory):
            for name in os.listdir(directory):
                if name.startswith(HIDDEN_PREFIXES):
                    found.add(os.path.realpath(os.path.join(directory, name)))
    cache = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    for line in cache.splitlines():
        name, _, path = line.strip().partition(" => ")
        if name.startswith(HIDDEN_PREFIXES) and os.path.exists(path):
            found.add(os.path.realpath(path))
    return sorted(found)


def run_hidden(argv, hidden, timeout=300):
    """Runs argv in a new mount namespace where each file in `hidden` reads
    as /dev/null."""
    binds = "".join(f"mount --bind /dev/null {shlex.quote(path)} && " for path in hidden)
    unshare = ["unshare", "--mount"] if os.geteuid() == 0 else ["unshare", "--map-root-user", "--mount"]
    return subprocess.run([*unshare, "sh", "-c", binds + 'exec "$@"', "sh", *argv],
                          capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "RAYON_NUM_THREADS": "2"})


def fresh_venv(base_python, wheel, directory):
    """A new virtual environment from base_python with only the wheel and its
    dependencies; returns its interpreter."""
    subprocess.run([base_python, "-m", "venv", str(directory)], check=True, timeout=300)
    python = str(directory / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", str(wheel)], check=True, timeout=600)
    return python


def version_of(python):
    return subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture(scope="module")
def hidden():
    paths = system_copies()
    # Without a system copy to hide, the check would prove nothing.
    assert any("libgcrypt" in p for p in paths), "no system libgcrypt found to hide"
    return paths


@pytest.mark.parametrize("base_python", BASE_PYTHONS, ids=lambda p: version_of(p))
def test_repaired_wheel_works_with_system_libgcrypt_hidden(base_python, repaired_wheel, hidden,
                                                         tmp_path):
    python = fresh_venv(base_python, repaired_wheel, tmp_path / "venv")
    result = run_hidden([python, "-c", CHECK, str(VECTORS), "hidden"], hidden)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("hidden\nchecked "), result.stdout
    assert int(result.stdout.split()[2]) > 50, result.stdout
    assert "/quorvex.libs/libgcrypt-" in result.stdout
    assert "/quorvex.libs/libgpg-error-" in result.stdout

    command = run_hidden([str(tmp_path / "venv" / "bin" / "quorvex"), "key", "--sample",
                          "--nonce", "00" * 16, "--timestamp", "1700000000"], hidden)
    assert command.returncode == 0, command.stderr
    assert re.fullmatch(r"[0-9a-f]{64}\n", command.stdout), command.stdout


def test_plain_wheel_fails_with_system_libgcrypt_hidden(plain_wheel, hidden, tmp_path):
    python = fresh_venv(BASE_PYTHONS[0], plain_wheel, tmp_path / "venv")
    result = run_hidden([python, "-c", CHECK, str(VECTORS), "hidden"], hidden)
    assert result.stdout == "hidden\n"
    assert result.returncode != 0
    assert re.search(r"^ImportError: \S*libgcrypt\.so\.20: ", result.stderr, re.M), result.stderr

    # With the system's libraries in reach the same installation passes the
    # same checks: what failed above was the missing library, nothing else.
    visible = run_hidden([python, "-c", CHECK, str(VECTORS), "visible"], [])
    assert visible.returncode == 0, visible.stderr
    assert visible.stdout.startswith("checked "), visible.stdout
