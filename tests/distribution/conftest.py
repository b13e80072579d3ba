"""The distributions that scripts/test builds, named by the environment:
QUORVEX_SDIST, QUORVEX_PLAIN_WHEEL (as built), QUORVEX_REPAIRED_WHEEL (after
auditwheel) and QUORVEX_PYTHONS (the base interpreters to install into,
separated by os.pathsep)."""
import os
import pathlib
import sys

import pytest

_VARIABLES = ("QUORVEX_SDIST", "QUORVEX_PLAIN_WHEEL", "QUORVEX_REPAIRED_WHEEL", "QUORVEX_PYTHONS")
MISSING = [name for name in _VARIABLES if not os.environ.get(name)]
BASE_PYTHONS = [p for p in os.environ.get("QUORVEX_PYTHONS", "").split(os.pathsep) if p]


def pytest_collection_modifyitems(config, items):
    if not MISSING:
        return
    skip = pytest.mark.skip(
        reason=f"{', '.join(MISSING)} not set: scripts/test builds the distributions and "
               "runs these tests")
    here = pathlib.Path(__file__).parent
    for item in items:
        if here in pathlib.Path(item.fspath).parents:
            item.add_marker(skip)


def _path(name):
    return pathlib.Path(os.environ[name]).resolve()


@pytest.fixture(scope="session")
def sdist():
    return _path("QUORVEX_SDIST")


@pytest.fixture(scope="session")
def plain_wheel():
    return _path("QUORVEX_PLAIN_WHEEL")


@pytest.fixture(scope="session")
def repaired_wheel():
    return _path("QUORVEX_REPAIRED_WHEEL")


def tool(name):
    """A command installed beside the running interpreter (twine, cmake, ...)."""
    return str(pathlib.Path(os.path.dirname(os.path.abspath(sys.executable))) / name)
