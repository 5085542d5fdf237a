"""Makes the freshly built extension modules importable.

A plain `pytest tests/python` from the source tree after a build into build/ finds the module
and the test-only modules there. With QIV_TEST_INSTALLED=1 (tools/test_all.sh) the suite runs
against the installed package instead: build/python is left alone and the session refuses to
start when qiv_protocol does not come from an installed package.

The test-only modules of build/python-testkit/ (made by the same build) are found there, or on
PYTHONPATH, as tools/test_all.sh gives them. A test that needs one takes it from a fixture
below: where the suite runs against an installed package with neither that folder nor a
PYTHONPATH, a user's check of an installed wheel, the test is skipped and says why; anywhere
else a missing test-only module fails it.
"""
import importlib
import os
import pathlib
import sys

import pytest

_BUILD = pathlib.Path(__file__).resolve().parents[2] / "build"
_INSTALLED = os.environ.get("QIV_TEST_INSTALLED") == "1"

_DIRS = [_BUILD / "python-testkit"]
if not _INSTALLED:
    _DIRS.insert(0, _BUILD / "python")
for _dir in _DIRS:
    if _dir.is_dir() and str(_dir) not in sys.path:
        sys.path.append(str(_dir))
_TESTKIT_MAY_BE_ABSENT = (_INSTALLED and not (_BUILD / "python-testkit").is_dir()
                          and not os.environ.get("PYTHONPATH"))

if _INSTALLED:
    import qiv_protocol

    _parts = pathlib.Path(qiv_protocol.__file__).parts
    if "site-packages" not in _parts and "dist-packages" not in _parts:
        raise RuntimeError(
            f"QIV_TEST_INSTALLED=1 but qiv_protocol comes from {qiv_protocol.__file__}")


def test_only_module(name):
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name != name or not _TESTKIT_MAY_BE_ABSENT:
            raise
        pytest.skip(f"test-only module {name} absent: against an installed package it needs the "
                    f"build of the README's \"Hacking\" (build/python-testkit/) or its folder "
                    f"on PYTHONPATH")


@pytest.fixture
def identity_probe():
    """_qiv_identity_probe: the shipped SoftwareIdentity release path with a storage snapshot."""
    return test_only_module("_qiv_identity_probe")
