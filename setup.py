"""Builds the extension module with the project's CMake build and hands it to setuptools.

The module is one stable-ABI file (qiv_protocol.abi3.so) for every CPython from 3.10 on, so the
wheel is tagged cp310-abi3 whichever interpreter runs the build. Which interpreter's headers
compile it is CMake's choice (bindings/python/CMakeLists.txt: pyenv's 3.10 when present, else
/usr/bin/python3; any CPython from 3.10 on will do, the oldest is preferred for the wheels the
project ships), not the interpreter running pip. QIV_PYTHON names another interpreter for it;
each build follows the choice made for it, also in a build folder that an earlier build with
another interpreter configured. QIV_BUILD_DIR names another CMake build directory than
build/wheel/cmake; QIV_BUILD_JOBS the number of compile jobs (4).

The module is built self-contained (CMake's QIV_SELF_CONTAINED: Crypto++ and libstdc++ linked
in, every symbol but PyInit_qiv_protocol hidden), so that it needs only glibc and libgcc_s. The
wheel's platform tag is measured from the module built (tools/manylinux_policy.py, the rules
that tools/check_wheel.py checks): the oldest manylinux_2_X it keeps, manylinux_2_34 on Debian
12, else the plain linux_<arch> tag. The licence texts of what it links in travel in the
wheel's .dist-info.

The licence is given here rather than in pyproject.toml because its form depends on the
setuptools running the build: from 77 on an SPDX expression (License-Expression), before that
(Debian 12 has 66) the older License field; each refuses or deprecates the other's form in
pyproject.toml. The sdist is the whole tree that git tracks (MANIFEST.in), so that the wheel
and the tests build from it alone.

A missing tool or header set ends the build with one sentence saying what is missing; another
failure to configure or compile, with the first lines of what CMake or the compiler said, and
the log's path where the log outlives the build.
"""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import setuptools
from setuptools import Distribution, Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info
from setuptools.command.sdist import sdist
from setuptools.errors import PlatformError

try:  # setuptools 70.1 and later carry bdist_wheel; before, the wheel package does
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:  # metadata alone (egg_info) needs neither; a wheel build stops
        bdist_wheel = None

ROOT = pathlib.Path(__file__).resolve().parent
MODULE = "qiv_protocol"
BUILT_FILE = f"{MODULE}.abi3.so"
# The module links Crypto++ and GCC's C++ runtime in; their licences travel with ours, and the
# metadata declares all three: the project's MIT, Crypto++'s Boost Software License, and GCC's
# runtime library exception to the GPL 3.
LICENCE = "MIT AND BSL-1.0 AND GPL-3.0-or-later WITH GCC-exception-3.1"
LICENCE_FILES = ["LICENSE", "licenses/CRYPTOPP-LICENSE", "licenses/GCC-RUNTIME-LIBRARY-EXCEPTION",
                 "licenses/GPL-3"]
SPDX_LICENCE = int(setuptools.__version__.split(".")[0]) >= 77
# What a developer's tree holds beside the tracked files inside the folders MANIFEST.in takes
# whole: caches of Python, pytest, mypy and npm. They stay out of the sdist.
CACHE_FOLDERS = frozenset({"__pycache__", ".pytest_cache", ".mypy_cache", "node_modules"})


# How much of a failure's cause the error message shows; the log keeps the rest.
CAUSE_LINES = 20
# Lines of the build tools themselves in a build log, around what the compiler and the linker
# said: Ninja's and Make's progress lines, Ninja's FAILED line (the next line is the command
# it ran) and their closing complaints.
BUILD_TOOL_LINE = re.compile(r"\[\s*\d+(/\d+|%)\] |FAILED: |ninja: |g?make(\[\d+\])?: ")


def cmake_error(log):
    """The text of the first CMake error, as lines: the wrapped lines of each paragraph joined
    into one (so that a message of the project's own CMake files is one sentence), the lines
    CMake shows as they are (a command's output) kept, indented as CMake indents them; or
    None."""
    lines = log.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("CMake Error")), None)
    if start is None:
        return None
    text = []
    joinable = False  # the last line is a paragraph's, which a wrapped line continues
    for line in lines[start + 1:]:
        if line.strip() and not line.startswith(" "):
            break  # the message ends where CMake's next line starts unindented (Call Stack, --)
        if not line.strip():
            if text and text[-1]:
                text.append("")
            joinable = False
        elif line.startswith("  ") and not line.startswith("   "):
            if joinable:
                text[-1] += " " + line.strip()
            else:
                text.append(line.strip())
            joinable = True
        else:
            text.append(line[2:].rstrip())
            joinable = False
    while text and not text[-1]:
        text.pop()
    return text or None


def compiler_messages(log):
    """What the compiler and the linker said in a failed build's log, without the lines of the
    build tool around it."""
    said, after_failed = [], False
    for line in log.splitlines():
        if after_failed:  # Ninja's echo of the failed command
            after_failed = False
            continue
        if BUILD_TOOL_LINE.match(line):
            after_failed = line.startswith("FAILED: ")
            continue
        if line.strip():
            said.append(line.rstrip())
    return said


def logs_last():
    """Whether the build folder's logs outlive the build: a folder that QIV_BUILD_DIR names is
    the user's own; the default one lies in the source tree, which pip and PyPA's build unpack
    from an sdist into the system's temporary folder (older pip copied a source tree there
    too) and delete when the build ends, failed or not."""
    if os.environ.get("QIV_BUILD_DIR"):
        return True
    return not ROOT.is_relative_to(os.path.realpath(tempfile.gettempdir()))


def failure_message(log, log_path, step):
    """The message of a failed step (configuring, compiling): its cause as CMake, else the
    compiler or the linker, gave it, up to CAUSE_LINES lines, and the log's path where the log
    remains after the build (a path pip has deleted by the time the user reads it helps no
    one)."""
    cause = cmake_error(log)
    if cause is None:
        # A build stopped with nothing said (killed, out of memory) ends its log with why.
        said = (compiler_messages(log)
                or [line for line in log.splitlines() if line.strip()][1 - CAUSE_LINES:])
        cause = [f"{step} qiv_protocol failed:"] + ["  " + line for line in said]
    shown, hidden = cause[:CAUSE_LINES], len(cause) - CAUSE_LINES
    if logs_last():
        note = (f"({hidden} more lines in the full log: {log_path})" if hidden > 0
                else f"(full log: {log_path})")
    elif hidden > 0:
        note = (f"({hidden} more lines in the log, which goes with the temporary build folder; "
                "QIV_BUILD_DIR names a lasting one)")
    else:
        note = None
    if note is None:
        return "\n".join(shown)
    if len(shown) == 1:
        return f"{shown[0]} {note}"
    return "\n".join(shown + [note])


def interpreter_choice():
    """The CMake argument that sets the interpreter whose headers this build uses: QIV_PYTHON;
    without it, the removal of the one an earlier configure of the same folder kept, so that
    CMake makes its default choice again."""
    chosen = os.environ.get("QIV_PYTHON")
    if not chosen:
        return "-UPython_EXECUTABLE"
    # FindPython takes an absolute path only; a bare name is looked up on PATH as a shell would.
    found = shutil.which(chosen) if os.sep not in chosen else None
    return f"-DPython_EXECUTABLE={os.path.abspath(found or chosen)}"


def measured_platform(module, arch):
    """The platform tag that the built module earns, by the rules of tools/manylinux_policy.py
    (loaded from the tree: it needs only the standard library, which is all an isolated build
    is sure to have besides setuptools)."""
    spec = importlib.util.spec_from_file_location("manylinux_policy",
                                                  ROOT / "tools" / "manylinux_policy.py")
    policy = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(policy)
    return policy.platform_tag(module.read_bytes(), arch)


class CMakeBuild(build_ext):
    """Configures and builds the module in Release under build/wheel/cmake, strips it and puts
    it where setuptools collects extension modules."""

    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise PlatformError(
                "building qiv_protocol needs CMake 3.25 or newer, and no 'cmake' command was "
                "found on PATH (Debian: apt-get install cmake).")
        build_dir = pathlib.Path(
            os.environ.get("QIV_BUILD_DIR") or ROOT / "build" / "wheel" / "cmake")
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [cmake, "-S", str(ROOT), "-B", str(build_dir),
                     "-DCMAKE_BUILD_TYPE=Release", "-DQIV_BUILD_TESTS=OFF",
                     "-DQIV_SELF_CONTAINED=ON",
                     # -s: the wheel carries the module without its symbol tables.
                     "-DCMAKE_MODULE_LINKER_FLAGS=-s",
                     # Fault reports name source files relative to the tree, not the builder's;
                     # CMake passes the path as one word, whatever it holds (spaces, letters
                     # beyond ASCII).
                     f"-DQIV_FILE_PREFIX_MAP={ROOT}",
                     # The compile flags are the project's own, as before; an empty value also
                     # clears the prefix map that earlier builds put here, which a path with a
                     # space broke.
                     "-DCMAKE_CXX_FLAGS="]
        if shutil.which("ninja") and not (build_dir / "Makefile").exists():
            configure += ["-G", "Ninja"]
        configure.append(interpreter_choice())
        self._run(configure, build_dir / "configure.log", "configuring")
        jobs = os.environ.get("QIV_BUILD_JOBS", "4")
        self._run([cmake, "--build", str(build_dir), "--target", MODULE, "-j", jobs],
                  build_dir / "build.log", "compiling")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / BUILT_FILE, target)

    def _run(self, command, log_path, step):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, errors="replace")
        log_path.write_text(done.stdout)
        if done.returncode != 0:
            raise PlatformError(failure_message(done.stdout, log_path, step))


class EggInfo(egg_info):
    """egg_info whose staging folder (build/wheel) is made when missing, as in a clean clone:
    setuptools refuses an egg_base that does not exist yet."""

    def finalize_options(self):
        if self.egg_base:
            pathlib.Path(self.egg_base).mkdir(parents=True, exist_ok=True)
        super().finalize_options()


class Sdist(sdist):
    """sdist without the caches that running the tests or the tools leaves in the tree (a
    clean clone has none; MANIFEST.in cannot exclude them without warning when there are
    none)."""

    def make_release_tree(self, base_dir, files):
        kept = [name for name in files
                if not CACHE_FOLDERS.intersection(pathlib.PurePath(name).parts)]
        super().make_release_tree(base_dir, kept)


class LicenceFilesKept(Distribution):
    """Keeps the licence files setup() names: setuptools before 77 replaces them, once it has
    read pyproject.toml, with those of its tool table, which are its default patterns (LICENSE
    alone here) when the table names none; and 77 and later deprecate that table entry."""

    def parse_config_files(self, *args, **kwargs):
        super().parse_config_files(*args, **kwargs)
        self.metadata.license_files = list(LICENCE_FILES)


if SPDX_LICENCE:
    licence = {"license_expression": LICENCE}
else:
    licence = {"license": LICENCE, "distclass": LicenceFilesKept}

commands = {"build_ext": CMakeBuild, "egg_info": EggInfo, "sdist": Sdist}

if bdist_wheel is not None:
    class BdistWheel(bdist_wheel):
        """Tags the wheel with the platform tag its module earns (manylinux_2_X or linux_<arch>),
        measured from the file that goes into the wheel once build_ext has made it."""

        def get_tag(self):
            impl, abi, plat = super().get_tag()
            module = pathlib.Path(self.get_finalized_command("build_ext").get_ext_fullpath(MODULE))
            if plat.startswith("linux_") and module.is_file():
                plat = measured_platform(module, plat[len("linux_"):])
            return impl, abi, plat

    commands["bdist_wheel"] = BdistWheel


setup(
    # The stub-only package types the module for mypy and pyright alike (a .pyi beside a
    # top-level extension module is not seen by mypy). Its name is no identifier, which the
    # pyproject.toml table refuses, hence here.
    packages=["qiv_protocol-stubs"],
    package_data={"qiv_protocol-stubs": ["__init__.pyi"]},
    include_package_data=False,
    ext_modules=[Extension(MODULE, sources=[], py_limited_api=True)],
    cmdclass=commands,
    license_files=LICENCE_FILES,
    **licence,
    options={"bdist_wheel": {"py_limited_api": "cp310"},
             # setuptools' own staging stays out of the CMake tree in build/.
             "build": {"build_base": "build/wheel/setuptools"},
             "egg_info": {"egg_base": "build/wheel"}},
)
