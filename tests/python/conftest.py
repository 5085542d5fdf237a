"""Makes the freshly built extension modules importable.

tools/test_all.sh sets PYTHONPATH itself; this also covers a plain `pytest tests/python` run
from the source tree after a build into build/.
"""
import pathlib
import sys

_BUILD = pathlib.Path(__file__).resolve().parents[2] / "build"
for _dir in (_BUILD / "python", _BUILD / "python-testkit"):
    if _dir.is_dir() and str(_dir) not in sys.path:
        sys.path.append(str(_dir))
