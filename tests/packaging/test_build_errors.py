"""A source build that lacks a tool, a usable Python header set or Crypto++ stops with one
sentence naming what is missing, not a traceback; one that fails to configure or compile shows
the cause in CMake's or the compiler's words, and names its log only where the log remains.

Run by tools/test_all.sh with an interpreter that has setuptools and wheel (Debian's); each
case builds in a directory of its own, so the shared wheel build is not touched.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from interpreters import pyenv_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


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


def temporary_copy(tmp_path):
    """The source tree copied into the temporary folder, as pip unpacks an sdist there: built
    without QIV_BUILD_DIR, its build folder goes when the copy does."""
    return shutil.copytree(ROOT, tmp_path / "src", ignore=shutil.ignore_patterns(
        "build*", "dist", ".git", "v", "*.egg-info", "__pycache__", ".pytest_cache",
        ".mypy_cache", "node_modules", "qiv_protocol.abi3.so"))


def broken_cryptopp(tmp_path, text):
    """CPLUS_INCLUDE_PATH to a cryptopp/sha.h of the given text, which the compiler takes for
    Crypto++'s own (only primitives/src/crypto/fingerprint.cc includes it)."""
    (tmp_path / "include" / "cryptopp").mkdir(parents=True)
    (tmp_path / "include" / "cryptopp" / "sha.h").write_text(text)
    return str(tmp_path / "include")


def pip_error(output):
    """The error message setup.py ended with, as pip shows it, without pip's indentation."""
    lines = output.splitlines()
    begun = next((i for i, line in enumerate(lines) if line.strip() == "running build_ext"), 0)
    start = next((i for i in range(begun, len(lines))
                  if lines[i].lstrip().startswith("error: ")), len(lines))
    indent = lines[start][:len(lines[start]) - len(lines[start].lstrip())] if lines[start:] else ""
    end = next((i for i in range(start, len(lines)) if lines[i].strip() == "[end of output]"),
               len(lines))
    return "\n".join(line[len(indent):] for line in lines[start:end])


def matches(template, text):
    """Whether text is the template, where <*> stands for any text within a line and a line
    '...' for any lines."""
    pattern = "".join(r"(?:.*\n)*?" if line == "..." else
                        ".*".join(map(re.escape, line.split("<*>"))) + r"\n"
                        for line in template.splitlines())
    return re.fullmatch(pattern, text + "\n") is not None


# Fatal: the compiler stops at it. Non-fatal: each of 25 #error lines takes three lines of the
# report (message, source line, caret), past what the message shows.
FATAL = "#include <cryptopp/sha_parts.h>\n"
MANY = "#error a broken header\n" * 25
SHA_H = "{tmp}/include/cryptopp/sha.h"
FINGERPRINT = "{src}/primitives/src/crypto/fingerprint.cc"
FAILURE_CASES = [
    # A compiler that compiles nothing: CMake's own check says so; the build folder was
    # temporary, so no log is named.
    ("broken compiler", True, lambda tmp: {"CXX": "/bin/false"}, """\
error: The C++ compiler

  "/bin/false"

is not able to compile a simple test program.

It fails with the following output:

  Change Dir: {src}/build/wheel/cmake/CMakeFiles/CMakeScratch/TryCompile-<*>
...
CMake will not be able to correctly generate this project."""),
    # A compile error: the compiler's words without the build tool's, and the log that stays.
    ("compile error", False, lambda tmp: {"CPLUS_INCLUDE_PATH": broken_cryptopp(tmp, FATAL)},
     f"""\
error: compiling qiv_protocol failed:
  In file included from {FINGERPRINT}:3:
  {SHA_H}:1:10: fatal error: cryptopp/sha_parts.h: No such file or directory
      1 | #include <cryptopp/sha_parts.h>
        |          ^~~~~~~~~~~~~~~~~~~~~~
  compilation terminated.
(full log: {{tmp}}/cmake/build.log)"""),
    # Many errors: the first lines, and how many more a temporary build folder took along.
    ("many errors", True, lambda tmp: {"CPLUS_INCLUDE_PATH": broken_cryptopp(tmp, MANY)},
     f"error: compiling qiv_protocol failed:\n  In file included from {FINGERPRINT}:3:\n"
     + "".join(f"  {SHA_H}:{n}:2: error: #error a broken header\n"
               f"      {n} | #error a broken header\n        |  ^~~~~\n" for n in range(1, 7))
     + "(<*> more lines in the log, which goes with the temporary build folder; QIV_BUILD_DIR "
       "names a lasting one)"),
]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.parametrize("name, temporary, env_of, message", FAILURE_CASES,
                         ids=[c[0] for c in FAILURE_CASES])
def test_failure_shows_its_cause(tmp_path, name, temporary, env_of, message):
    env = env_of(tmp_path)
    if temporary:
        # The copy lies in the temporary folder (TMPDIR), and no QIV_BUILD_DIR names a lasting
        # one: the build folder is the copy's own.
        source = temporary_copy(tmp_path)
        env = dict(os.environ, QIV_BUILD_JOBS="3", TMPDIR=str(tmp_path), **env)
        env.pop("QIV_BUILD_DIR", None)
        done = subprocess.run(
            [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
             "--no-index", "--no-cache-dir", "-w", str(tmp_path / "dist"), str(source)],
            capture_output=True, text=True, env=env, timeout=600)
    else:
        source = ROOT
        done = build(tmp_path, QIV_BUILD_JOBS="3", **env)
    output = done.stdout + done.stderr
    assert done.returncode != 0
    expected = message.format(src=source, tmp=tmp_path)
    assert matches(expected, pip_error(output)), output
    assert "Traceback" not in output, output


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
