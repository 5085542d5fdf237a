"""A clean copy of the source tree, with no build/ folder, builds its wheel through pip's
build isolation offline (setuptools and wheel from Debian's /usr/share/python-wheels), writes
it into dist/ and nowhere else, and the wheel keeps its manylinux_2_34 promise.
"""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEELS = pathlib.Path("/usr/share/python-wheels")
WHEEL_NAME = "qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl"

# Build output, venvs, caches and VCS data of a working tree; a clean clone has none of them.
SKIPPED_AT_ROOT = ("dist", ".git", "v")  # and build*
SKIPPED_ANYWHERE = ("__pycache__", ".pytest_cache", ".mypy_cache", "node_modules")


def clean_copy(destination):
    def ignore(directory, names):
        at_root = pathlib.Path(directory) == ROOT
        return [n for n in names
                if n in SKIPPED_ANYWHERE or n.endswith((".egg-info", ".whl"))
                or (at_root and (n in SKIPPED_AT_ROOT or n.startswith("build")))]
    shutil.copytree(ROOT, destination, ignore=ignore, symlinks=True)
    return destination


@pytest.mark.skipif(not list(WHEELS.glob("setuptools-*.whl")) or
                    not list(WHEELS.glob("wheel-*.whl")),
                    reason="needs python3-setuptools-whl and python3-wheel-whl")
def test_isolated_pip_wheel_of_a_clean_tree(tmp_path):
    source = clean_copy(tmp_path / "src")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    env = dict(os.environ, QIV_BUILD_JOBS=os.environ.get("QIV_BUILD_JOBS", "3"))
    env.pop("QIV_BUILD_DIR", None)
    before = set(os.listdir(source))
    done = subprocess.run(
        [str(venv / "bin" / "pip"), "wheel", "--no-index", "--find-links", str(WHEELS),
         "--no-cache-dir", "--no-deps", "-w", "dist", "."],
        cwd=source, capture_output=True, text=True, env=env, timeout=1800)
    assert done.returncode == 0, done.stdout + done.stderr
    assert sorted(os.listdir(source / "dist")) == [WHEEL_NAME]
    # Only the wheel and the build's own folder appear beside the sources.
    assert set(os.listdir(source)) - before == {"build", "dist"}
    checked = subprocess.run([sys.executable, str(ROOT / "tools" / "check_wheel.py"),
                              str(source / "dist" / WHEEL_NAME)],
                             capture_output=True, text=True, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
