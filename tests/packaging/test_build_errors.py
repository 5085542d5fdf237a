"""A source build that lacks a tool, a usable Python header set or Crypto++ stops with one
sentence naming what is missing, not a traceback.

Run by tools/test_all.sh with an interpreter that has setuptools and wheel (Debian's); each
case builds in a directory of its own, so the shared wheel build is not touched.
"""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def pyenv_python(minor):
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    found = sorted(root.glob(f"versions/3.{minor}.*/bin/python3.{minor}"))
    return str(found[-1]) if found else None


def path_without_cmake(tmp_path):
    """A PATH holding only the interpreter and the tools pip needs, without cmake."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("uname", "sh"):
        if shutil.which(tool):
            (bin_dir / tool).symlink_to(shutil.which(tool))
    return str(bin_dir)


def build(tmp_path, **env_changes):
    env = dict(os.environ, QIV_BUILD_DIR=str(tmp_path / "cmake"), **env_changes)
    return subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "--no-cache-dir", "-w", str(tmp_path / "dist"), str(ROOT)],
        capture_output=True, text=True, env=env, timeout=600)


CASES = [
    ("no cmake", lambda tmp: {"PATH": path_without_cmake(tmp)},
     "error: building qiv_protocol needs CMake 3.25 or newer, and no 'cmake' command was found "
     "on PATH (Debian: apt-get install cmake)."),
    ("3.9 headers", lambda tmp: {"QIV_PYTHON": pyenv_python(9) or "missing"},
     "error: qiv_protocol must be built against the headers of CPython 3.10 or later, whose "
     "stable ABI it uses, and "),
    ("no interpreter", lambda tmp: {"QIV_PYTHON": str(tmp / "nowhere" / "python3")},
     "error: qiv_protocol needs a CPython 3.10 or later interpreter with its C headers, and none "
     "was found at "),
]


@pytest.mark.parametrize("name, env_of, sentence", CASES, ids=[c[0] for c in CASES])
def test_missing_piece_is_named_in_one_sentence(tmp_path, name, env_of, sentence):
    env = env_of(tmp_path)
    if env.get("QIV_PYTHON") == "missing":
        pytest.skip("no pyenv CPython 3.9 here")
    done = build(tmp_path, **env)
    output = done.stdout + done.stderr
    assert done.returncode != 0
    assert sentence in output, output
    assert "Traceback" not in output, output
    assert not (tmp_path / "dist").exists() or not list((tmp_path / "dist").iterdir())


def cmake_error(log):
    """The text of the first CMake error, its wrapped lines joined."""
    lines = log.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("CMake Error"))
    block = []
    for line in lines[start + 1:]:
        if block and not line.strip():
            break
        if line.strip():
            block.append(line.strip())
    return " ".join(block)


# Crypto++ hidden from CMake's searches by re-rooting them into an empty folder.
SHARED = "/usr/lib/x86_64-linux-gnu/libcrypto++.so"
CRYPTOPP_CASES = [
    ("no headers", ["-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"],
     "Could not find CRYPTOPP_INCLUDE_DIR (the Crypto++ headers, cryptopp/donna.h): on Debian "
     "they come with the package libcrypto++-dev (apt-get install libcrypto++-dev)."),
    ("no library", ["-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY"],
     "Could not find CRYPTOPP_LIBRARY (the Crypto++ library, libcrypto++.so or libcryptopp.so): "
     "on Debian it comes with the package libcrypto++-dev (apt-get install libcrypto++-dev)."),
    ("no static library",
     ["-DQIV_SELF_CONTAINED=ON", f"-DCRYPTOPP_LIBRARY={SHARED}",
      "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY"],
     "Could not find CRYPTOPP_STATIC_LIBRARY (the static Crypto++ library, libcrypto++.a or "
     "libcryptopp.a), which QIV_SELF_CONTAINED links into the Python modules: on Debian it "
     "comes with the package libcrypto++-dev (apt-get install libcrypto++-dev)."),
]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.parametrize("name, flags, sentence", CRYPTOPP_CASES,
                         ids=[c[0] for c in CRYPTOPP_CASES])
def test_missing_cryptopp_names_its_package(tmp_path, name, flags, sentence):
    (tmp_path / "empty").mkdir()
    done = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), "-DQIV_BUILD_TESTS=OFF",
         f"-DCMAKE_FIND_ROOT_PATH={tmp_path / 'empty'}", *flags],
        capture_output=True, text=True, timeout=300)
    assert done.returncode != 0
    assert cmake_error(done.stdout + done.stderr) == sentence
