"""tools/install_packages.sh reads the one package list, tools/packages.txt, by group."""
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "install_packages.sh"
LIST = ROOT / "tools" / "packages.txt"


def listed(*groups):
    return subprocess.run(["bash", str(SCRIPT), "--list", *groups], capture_output=True,
                          text=True, timeout=60)


def every_package():
    names = (line.split("#", 1)[0].strip() for line in LIST.read_text().splitlines())
    return [n for n in names if n and not n.startswith("[")]


@pytest.mark.parametrize("groups, expected", [
    (["demo"], ["cmake", "ninja-build", "g++", "libcrypto++-dev", "python3", "python3-dev"]),
    (["demo", "tests"], every_package()),
])
def test_groups_list_their_packages(groups, expected):
    done = listed(*groups)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.split() == expected


def test_every_package_is_listed_once():
    packages = every_package()
    assert len(packages) == len(set(packages))


@pytest.mark.parametrize("args, message", [
    (["--list", "nothing"], f"install_packages.sh: no group [nothing] in {LIST}\n"),
    ([], "usage: tools/install_packages.sh [--list] <group>... (groups of tools/packages.txt)\n"),
])
def test_bad_arguments_are_refused(args, message):
    done = subprocess.run(["bash", str(SCRIPT), *args], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr, done.stdout) == (2, message, "")
