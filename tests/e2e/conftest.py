"""Fixtures of the end-to-end tests. tests/e2e/run.sh sets up Xvfb and the two
prefixes and passes them in the environment (CABSFX_BUILD, CABSFX_PREFIX64,
CABSFX_PREFIX32, DISPLAY)."""
import os
import re
import shutil

import pytest

from harness import Wine

BUILD = os.environ.get("CABSFX_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUILD = os.path.abspath(BUILD)
STUB = os.path.join(BUILD, "win32", "cabsfx.exe")
UIDRIVER = os.path.join(BUILD, "win32", "tests", "e2e", "uidriver.exe")
PICTURES = os.path.join(BUILD, "pictures")


# Without a kernel that starts 32-bit programs (run.sh sets CABSFX_NO_WINE=1)
# only the tests that need no Wine run; the others are skipped, not failed.
WINE_FIXTURES = {"wine64", "wine32", "any_wine"}


def pytest_collection_modifyitems(config, items):
    if os.environ.get("CABSFX_NO_WINE") != "1":
        return
    skip = pytest.mark.skip(reason="this machine starts no 32-bit programs: nothing runs under Wine")
    for item in items:
        if WINE_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(skip)


def _need_bench():
    missing = [v for v in ("CABSFX_PREFIX64", "CABSFX_PREFIX32", "DISPLAY") if not os.environ.get(v)]
    if missing:
        pytest.fail(f"no Wine test bench ({', '.join(missing)} unset): run tests/e2e/run.sh BUILD")
    if not os.path.exists(UIDRIVER):
        pytest.fail(f"{UIDRIVER} is missing: build the win32 tree")


@pytest.fixture(scope="session")
def stub():
    if not os.path.exists(STUB):
        pytest.fail(f"{STUB} is missing: build the win32 tree")
    return STUB


@pytest.fixture(scope="session")
def wine64():
    _need_bench()
    wine = Wine(os.environ["CABSFX_PREFIX64"], "win64", BUILD, UIDRIVER)
    yield wine
    wine.driver.stop()


@pytest.fixture(scope="session")
def wine32():
    _need_bench()
    wine = Wine(os.environ["CABSFX_PREFIX32"], "win32", BUILD, UIDRIVER)
    yield wine
    wine.driver.stop()


@pytest.fixture(params=["win64", "win32"])
def any_wine(request):
    """Both prefixes, one after the other."""
    return request.getfixturevalue("wine" + request.param[3:])


@pytest.fixture
def pictures(request):
    """Folder for the pictures of this test's windows."""
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name).strip("_")
    path = os.path.join(PICTURES, name)
    shutil.rmtree(path, ignore_errors=True)
    return path


@pytest.fixture
def workdir(request):
    """A fresh folder under each prefix's drive_c for this test's files:
    returns a function giving the folder for a Wine object."""
    made = []
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name).strip("_")

    def folder(wine):
        path = wine.c_path("e2e", name)
        if path not in made:
            shutil.rmtree(path, ignore_errors=True)
            os.makedirs(path)
            made.append(path)
        return path

    yield folder


@pytest.fixture
def start(request, pictures):
    """start(wine, exe, args=(), lang="en") -> Run; every run still going at
    the end of the test is killed."""
    runs = []

    def starter(wine, exe, args=(), lang="en"):
        run = wine.start(exe, args, lang=lang, pictures=pictures)
        runs.append(run)
        return run

    yield starter
    for run in runs:
        run.kill()
