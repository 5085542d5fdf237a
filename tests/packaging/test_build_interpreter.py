"""One build folder, three wheel builds: the default interpreter, QIV_PYTHON naming another, the
default again. Each build compiles against the headers of the interpreter chosen for it, not of
one that CMake's cache kept from an earlier build.

Run by tools/test_all.sh with an interpreter that has setuptools and wheel (Debian's); needs
pyenv's 3.10 (the default choice) and 3.11.
"""
import json
import os
import pathlib
import subprocess
import sys

import pytest

from interpreters import pyenv_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


def headers_used(build_dir):
    """(the interpreter in CMake's cache, the Python include folders the module compiled with)."""
    cache = (build_dir / "CMakeCache.txt").read_text()
    executable = next(line.split("=", 1)[1] for line in cache.splitlines()
                      if line.startswith("Python_EXECUTABLE:"))
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    module = next(c["command"] for c in commands
                  if c["file"].endswith("bindings/python/src/module.cc"))
    includes = sorted({word for word in module.split() if "/include/python3." in word})
    return executable, includes


def version_and_include(python):
    done = subprocess.run(
        [python, "-c", "import sys, sysconfig; "
         "print('%d.%d' % sys.version_info[:2], sysconfig.get_paths()['include'])"],
        capture_output=True, text=True, check=True, timeout=60)
    version, include = done.stdout.split()
    return version, include


@pytest.mark.skipif(not (pyenv_python(10) and pyenv_python(11)),
                    reason="needs pyenv's CPython 3.10 and 3.11")
def test_each_build_follows_the_interpreter_chosen_for_it(tmp_path):
    other = pyenv_python(11)
    build_dir = tmp_path / "cmake"
    base = {k: v for k, v in os.environ.items() if k != "QIV_PYTHON"}
    base.update(QIV_BUILD_DIR=str(build_dir),
                QIV_BUILD_JOBS=os.environ.get("QIV_BUILD_JOBS", "3"))
    seen = []
    for label, extra, minor in [("default", {}, "3.10"),
                                ("QIV_PYTHON", {"QIV_PYTHON": other}, "3.11"),
                                ("default again", {}, "3.10")]:
        dist = tmp_path / label.replace(" ", "-")
        done = subprocess.run(
            [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
             "--no-index", "--no-cache-dir", "-w", str(dist), str(ROOT)],
            capture_output=True, text=True, env=dict(base, **extra), timeout=1200)
        assert done.returncode == 0, f"{label} build:\n{done.stdout}{done.stderr}"
        assert len(list(dist.glob("*.whl"))) == 1, label
        executable, includes = headers_used(build_dir)
        version, include = version_and_include(executable)
        seen.append((label, version, includes))
        assert (version, includes) == (minor, [include]), seen
