"""The sdist configures on its own, and a missing build dependency stops the
configuration with one line that names the Debian package to install."""
import os
import subprocess
import sys
import tarfile

import pytest

from conftest import tool


@pytest.fixture(scope="module")
def source_tree(sdist, tmp_path_factory):
    directory = tmp_path_factory.mktemp("sdist")
    with tarfile.open(sdist) as archive:
        archive.extractall(directory, filter="data")
    [tree] = directory.iterdir()
    return tree


def configure(source_tree, build_dir, *options):
    env = {**os.environ, "PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]}
    return subprocess.run(
        [tool("cmake"), "-S", str(source_tree), "-B", str(build_dir), "-G", "Ninja",
         "-DQUORVEX_BUILD_MODULE=OFF", *options],
        capture_output=True, text=True, env=env, timeout=300)


def test_sdist_configures(source_tree, tmp_path):
    result = configure(source_tree, tmp_path / "build")
    assert result.returncode == 0, result.stdout + result.stderr


def test_missing_libgcrypt_names_the_debian_package(source_tree, tmp_path):
    # Neither pkg-config nor the system prefixes: libgcrypt cannot be found.
    result = configure(source_tree, tmp_path / "build", "-DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON",
                       "-DCMAKE_IGNORE_PREFIX_PATH=/usr;/usr/local;/")
    assert result.returncode != 0
    # CMake wraps and indents the message: compare the words.
    assert ("libgcrypt (gcrypt.h and libgcrypt.so) not found: install the Debian package "
            "libgcrypt20-dev (apt-get install libgcrypt20-dev)") in " ".join(result.stderr.split()), \
        result.stderr
