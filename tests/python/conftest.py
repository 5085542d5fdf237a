"""Makes the freshly built extension modules importable.

A plain `pytest tests/python` from the source tree after a build into build/ finds the module
and the test-only modules there. With QIV_TEST_INSTALLED=1 (tools/test_all.sh) the suite runs
against the installed package instead: build/python is left alone and the session refuses to
start when qiv_protocol does not come from an installed package.
"""
import os
import pathlib
import sys

_BUILD = pathlib.Path(__file__).resolve().parents[2] / "build"
_INSTALLED = os.environ.get("QIV_TEST_INSTALLED") == "1"

_DIRS = [_BUILD / "python-testkit"]
if not _INSTALLED:
    _DIRS.insert(0, _BUILD / "python")
for _dir in _DIRS:
    if _dir.is_dir() and str(_dir) not in sys.path:
        sys.path.append(str(_dir))

if _INSTALLED:
    import qiv_protocol

    _parts = pathlib.Path(qiv_protocol.__file__).parts
    if "site-packages" not in _parts and "dist-packages" not in _parts:
        raise RuntimeError(
            f"QIV_TEST_INSTALLED=1 but qiv_protocol comes from {qiv_protocol.__file__}")
