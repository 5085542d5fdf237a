"""The interpreters of the machine that the packaging tests build with."""
import os
import pathlib


def pyenv_python(minor):
    """The newest pyenv CPython 3.<minor> (its python3.<minor>), or None."""
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    found = sorted(root.glob(f"versions/3.{minor}.*/bin/python3.{minor}"))
    return str(found[-1]) if found else None
