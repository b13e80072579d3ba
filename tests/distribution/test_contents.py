"""What the distributions carry and how PyPI's tools judge them: licences
and notices, the manylinux tag, the bundled libraries, the metadata."""
import email.parser
import fnmatch
import pathlib
import re
import subprocess
import tarfile
import zipfile

import pytest
import trove_classifiers

import quorvex
from conftest import tool

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
LIB_SH = PYPROJECT.parent / "scripts" / "lib.sh"
NOTICES = ["LICENSE", "licenses/NOTICE.md", "licenses/LGPL-2.1.txt", "licenses/libgcrypt.txt",
           "licenses/libgpg-error.txt", "licenses/BLAKE3.txt"]

# Libraries every manylinux system provides (the policies' common set that
# this module can need); anything else must be inside the wheel.
MANYLINUX_LIBRARIES = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "libpthread.so.0",
                       "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}


def wheel_names(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return archive.namelist()


def wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        [name] = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        return email.parser.Parser().parsestr(archive.read(name).decode())


def dynamic_section(wheel, member, tmp_path):
    with zipfile.ZipFile(wheel) as archive:
        path = archive.extract(member, tmp_path)
    return subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True,
                          check=True).stdout


def test_repaired_wheel_is_manylinux_abi3(repaired_wheel):
    assert re.fullmatch(r"quorvex-[^-]+-cp312-abi3-manylinux_2_\d+_x86_64\.whl",
                        repaired_wheel.name)


def test_repaired_wheel_bundles_libgcrypt_and_libgpg_error(repaired_wheel, tmp_path):
    names = wheel_names(repaired_wheel)
    for pattern in ("quorvex.libs/libgcrypt-*.so.20*", "quorvex.libs/libgpg-error-*.so.0*"):
        assert fnmatch.filter(names, pattern), pattern
    [module] = [n for n in names if n.startswith("_quorvex_core.") and n.endswith(".so")]
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]",
                            dynamic_section(repaired_wheel, module, tmp_path)))
    bundled = {n.split("/")[-1] for n in names if n.startswith("quorvex.libs/")}
    # libstdc++ is linked in statically (cmake/Wheel.cmake), so it is
    # neither needed nor bundled.
    assert not any(n.startswith("libstdc++") for n in needed | bundled)
    assert needed - bundled <= MANYLINUX_LIBRARIES, needed
    assert any(n.startswith("libgcrypt-") for n in needed & bundled), needed


@pytest.mark.parametrize("kind", ["plain", "repaired"])
def test_wheels_carry_the_licence_and_the_notices(kind, plain_wheel, repaired_wheel):
    wheel = plain_wheel if kind == "plain" else repaired_wheel
    names = wheel_names(wheel)
    for notice in NOTICES:
        assert fnmatch.filter(names, f"quorvex-*.dist-info/licenses/{notice}"), notice


def test_sdist_carries_the_licence_the_notices_and_the_build(sdist):
    with tarfile.open(sdist) as archive:
        names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
    for required in [*NOTICES, "pyproject.toml", "CMakeLists.txt", "cmake/Dependencies.cmake",
                     "cmake/Wheel.cmake", "python/quorvex/__init__.py", "PKG-INFO"]:
        assert required in names, required
    assert not any(n.startswith((".venv", "build/", "dist/")) for n in names)


def test_metadata(repaired_wheel):
    metadata = wheel_metadata(repaired_wheel)
    assert metadata["Name"] == "quorvex"
    assert metadata["Version"] == quorvex.__version__
    assert metadata["License-Expression"] == "LicenseRef-Proprietary"
    assert metadata["Requires-Python"] == ">=3.12"
    classifiers = metadata.get_all("Classifier")
    assert set(classifiers) <= trove_classifiers.classifiers
    for expected in ("Operating System :: POSIX :: Linux",
                     "Topic :: Security :: Cryptography"):
        assert expected in classifiers
    # The long description's first section is how to install, with the
    # command to type.
    description = metadata.get_payload()
    sections = [match.start() for match in re.finditer(r"^## ", description, re.M)]
    assert description[sections[0]:].startswith("## Install\n"), description[sections[0]:][:40]
    assert sections[0] < description.index("pip install ") < sections[1]


def supported_versions():
    """PYTHON_VERSIONS of scripts/lib.sh: the interpreters the tests run on."""
    [versions] = re.findall(r"^PYTHON_VERSIONS=\((.*)\)$", LIB_SH.read_text(), re.M)
    return versions.split()


def test_metadata_names_exactly_the_tested_versions(repaired_wheel):
    metadata = wheel_metadata(repaired_wheel)
    prefix = "Programming Language :: Python :: 3."
    named = [c.removeprefix("Programming Language :: Python :: ")
             for c in metadata.get_all("Classifier") if c.startswith(prefix)]
    versions = supported_versions()
    assert versions[0] == "3.12" and named == versions, (named, versions)
    # pip refuses the wheel below the oldest tested version, and lets every
    # later one through: the stable ABI keeps it importable there.
    assert metadata["Requires-Python"] == f">={versions[0]}"


def test_twine_check_passes_strictly(sdist, repaired_wheel):
    result = subprocess.run([tool("twine"), "check", "--strict", str(sdist), str(repaired_wheel)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("PASSED") == 2, result.stdout


def test_check_wheel_contents_passes(repaired_wheel):
    result = subprocess.run([tool("check-wheel-contents"), "--config", str(PYPROJECT),
                             str(repaired_wheel)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert ": OK" in result.stdout, result.stdout


def glibc_versions(path):
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", str(path)], capture_output=True,
                             text=True, check=True).stdout
    return {tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_(\d+(?:\.\d+)+)", symbols)}


def test_module_needs_no_newer_glibc_than_the_bundled_libraries(repaired_wheel, tmp_path):
    # The bundled libraries set the floor of the manylinux policy; the
    # module's own code (and the C++ runtime linked into it) must not raise it.
    with zipfile.ZipFile(repaired_wheel) as archive:
        archive.extractall(tmp_path)
    [module] = tmp_path.glob("_quorvex_core.*.so")
    bundled = list((tmp_path / "quorvex.libs").iterdir())
    floor = max(max(glibc_versions(library)) for library in bundled)
    assert max(glibc_versions(module)) <= floor
    policy = re.search(r"manylinux_(\d+)_(\d+)_", repaired_wheel.name).groups()
    assert tuple(map(int, policy)) == floor
