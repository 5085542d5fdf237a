"""tools/check_wheel.py passes a wheel that keeps the promise of its platform tag and names the
culprit in one that does not; tools/manylinux_policy.py, which setup.py tags the wheel with,
picks the oldest tag a module keeps.

The modules are small ELF files built here with g++, each breaking one rule; they are packed
into wheels as bdist_wheel lays them out.
"""
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHECK = ROOT / "tools" / "check_wheel.py"
sys.path.insert(0, str(ROOT / "tools"))
import manylinux_policy  # noqa: E402
GOOD_NAME = "qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl"
MODULE = "qiv_protocol.abi3.so"
LICENCES = ("LICENSE", "CRYPTOPP-LICENSE", "GCC-RUNTIME-LIBRARY-EXCEPTION", "GPL-3")

pytestmark = pytest.mark.skipif(
    shutil.which("g++") is None or platform.machine() != "x86_64",
    reason="needs g++ on x86-64")

ENTRY = 'extern "C" __attribute__((visibility("default"))) void* PyInit_qiv_protocol()'
# As the project links its modules: C++ runtime inside, everything but the entry hidden.
SELF_CONTAINED = ["-static-libstdc++", "-Wl,--exclude-libs,ALL", "-Wl,--gc-sections"]

MODULES = {
    "self-contained": (
        "#include <string>\n" + ENTRY + " { static std::string s(40, 'x'); return &s; }",
        SELF_CONTAINED),
    "shared Crypto++": (ENTRY + " { return nullptr; }",
                        SELF_CONTAINED + ["-Wl,--no-as-needed", "-lcrypto++"]),
    # -fno-exceptions: no personality routine, so the one version asked for is GLIBCXX_3.4.
    "shared libstdc++": (
        "#include <stdexcept>\n" + ENTRY + ' { std::__throw_logic_error("x"); }',
        ["-fno-exceptions"]),
    "second export": (
        ENTRY + ' { return nullptr; }\nextern "C" __attribute__((visibility("default"))) '
        "int qiv_leak() { return 1; }", SELF_CONTAINED),
    "glibc 2.36": ("#include <stdlib.h>\n" + ENTRY +
                   " { return reinterpret_cast<void*>(arc4random()); }", SELF_CONTAINED),
}


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    """Module name -> the bytes of that ELF module."""
    out = tmp_path_factory.mktemp("modules")
    built = {}
    for i, (name, (source, flags)) in enumerate(MODULES.items()):
        src, so = out / f"m{i}.cc", out / f"m{i}.so"
        src.write_text(source + "\n")
        done = subprocess.run(["g++", "-shared", "-fPIC", "-fvisibility=hidden", "-O1",
                               "-o", str(so), str(src), *flags],
                              capture_output=True, text=True, timeout=120)
        if done.returncode == 0:
            built[name] = so.read_bytes()
    if "self-contained" in built:
        built["truncated"] = built["self-contained"][:300]
    built["not ELF"] = b"#!/bin/sh\n"
    return built


def make_wheel(directory, module, name=GOOD_NAME, tag=None, licences=LICENCES):
    """A wheel holding `module` as qiv_protocol.abi3.so, as bdist_wheel lays one out."""
    if tag is None:
        tag = "-".join(name[:-len(".whl")].split("-")[2:])
    path = directory / name
    dist_info = "qiv_protocol-0.1.0.dist-info"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(MODULE, module)
        archive.writestr(f"{dist_info}/WHEEL", "Wheel-Version: 1.0\nGenerator: test\n"
                         f"Root-Is-Purelib: false\nTag: {tag}\n\n")
        archive.writestr(f"{dist_info}/METADATA", "Metadata-Version: 2.1\n"
                         "Name: qiv_protocol\nVersion: 0.1.0\n")
        for licence in licences:
            archive.writestr(f"{dist_info}/{licence}", "licence text\n")
    return path


def check(path):
    return subprocess.run([sys.executable, str(CHECK), str(path)],
                          capture_output=True, text=True, timeout=120)


CASES = [
    ("shared Crypto++", {},
     [f"{MODULE}: needs libcrypto++.so.8, which manylinux_2_34 does not allow"]),
    ("shared libstdc++", {},
     [f"{MODULE}: needs GLIBCXX_3.4 of libstdc++.so.6, and manylinux_2_34 allows no GLIBCXX_ "
      "version (link the C++ runtime statically)"]),
    ("second export", {},
     [f"{MODULE}: exports qiv_leak; only PyInit_qiv_protocol may be exported"]),
    ("glibc 2.36", {},
     [f"{MODULE}: needs GLIBC_2.36 of libc.so.6, above GLIBC_2.34 of manylinux_2_34"]),
    ("self-contained", {"tag": "cp310-abi3-linux_x86_64"},
     ["qiv_protocol-0.1.0.dist-info/WHEEL: tags cp310-abi3-linux_x86_64 differ from the file "
      "name's cp310-abi3-manylinux_2_34_x86_64"]),
    ("self-contained", {"name": "qiv_protocol-0.1.0-cp310-abi3-linux_x86_64.whl"},
     ["qiv_protocol-0.1.0-cp310-abi3-linux_x86_64.whl: platform tag linux_x86_64 is not "
      "manylinux_2_34_x86_64, the oldest its module keeps"]),
    ("self-contained", {"name": "qiv_protocol-0.1.0-cp310-abi3-manylinux_2_36_x86_64.whl"},
     ["qiv_protocol-0.1.0-cp310-abi3-manylinux_2_36_x86_64.whl: platform tag "
      "manylinux_2_36_x86_64 is not manylinux_2_34_x86_64, the oldest its module keeps"]),
    ("self-contained", {"name": "qiv_protocol-0.1.0-cp310-abi3-manylinux_2_28_x86_64.whl"},
     ["qiv_protocol-0.1.0-cp310-abi3-manylinux_2_28_x86_64.whl: platform tag "
      "manylinux_2_28_x86_64 is none this project builds (manylinux_2_X_x86_64 with X from 34 "
      "on, or linux_x86_64)"]),
    ("not ELF", {}, [f"{MODULE}: not an ELF file (no ELF magic)"]),
    ("truncated", {},
     [f"{MODULE}: not an ELF file (a table points outside the file)"]),
    ("self-contained", {"licences": ("LICENSE", "GCC-RUNTIME-LIBRARY-EXCEPTION", "GPL-3")},
     ["qiv_protocol-0.1.0.dist-info: licence file CRYPTOPP-LICENSE missing"]),
]


PASSING = [
    ("self-contained", GOOD_NAME),
    ("glibc 2.36", "qiv_protocol-0.1.0-cp310-abi3-manylinux_2_36_x86_64.whl"),
    # No manylinux tag fits a module that needs the C++ runtime: the plain tag promises none.
    ("shared libstdc++", "qiv_protocol-0.1.0-cp310-abi3-linux_x86_64.whl"),
]


@pytest.mark.parametrize("module, name", PASSING, ids=[c[0] for c in PASSING])
def test_module_with_the_tag_it_keeps_passes(tmp_path, modules, module, name):
    if module not in modules:
        pytest.skip(f"this toolchain cannot build the {module} module")
    done = check(make_wheel(tmp_path, modules[module], name=name))
    assert done.returncode == 0, done.stdout + done.stderr
    platform = name[:-len(".whl")].split("-")[-1]
    assert done.stdout.splitlines()[-1] == f"ok   {name} keeps the {platform} promise"


# The tag setup.py gives the wheel: the oldest manylinux_2_X the module keeps, else linux_.
TAGS = [
    ("self-contained", "x86_64", "manylinux_2_34_x86_64"),
    ("glibc 2.36", "x86_64", "manylinux_2_36_x86_64"),
    ("shared Crypto++", "x86_64", "linux_x86_64"),
    ("shared libstdc++", "x86_64", "linux_x86_64"),
    ("self-contained", "aarch64", "linux_aarch64"),
]


@pytest.mark.parametrize("module, arch, tag", TAGS, ids=[f"{c[0]} {c[1]}" for c in TAGS])
def test_platform_tag_is_the_oldest_the_module_keeps(modules, module, arch, tag):
    if module not in modules:
        pytest.skip(f"this toolchain cannot build the {module} module")
    assert manylinux_policy.platform_tag(modules[module], arch) == tag


@pytest.mark.parametrize("module, wheel, culprits", CASES,
                         ids=[f"{c[0]} {' '.join(c[1])}".strip() for c in CASES])
def test_broken_promise_names_its_culprit(tmp_path, modules, module, wheel, culprits):
    if module not in modules:
        pytest.skip(f"this toolchain cannot build the {module} module")
    done = check(make_wheel(tmp_path, modules[module], **wheel))
    assert done.returncode == 1, done.stdout + done.stderr
    assert done.stdout.splitlines() == [f"FAIL {line}" for line in culprits]


def test_built_wheel_passes():
    """The wheel that CI built (QIV_WHEEL=<path>), when given."""
    wheel = os.environ.get("QIV_WHEEL")
    if not wheel:
        pytest.skip("QIV_WHEEL names no built wheel")
    done = check(wheel)
    assert done.returncode == 0, done.stdout + done.stderr
