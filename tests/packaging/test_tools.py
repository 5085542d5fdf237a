"""The scripts under tools/: the package list read by group, and tree removal kept off mounts."""
import os
import pathlib
import shutil
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


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"),
                    reason="needs root and unshare for a mount namespace")
def test_tree_removal_refuses_to_run_through_a_mount(tmp_path):
    # A chroot's /dev bind-mounted from the host: removing the tree must not reach into it.
    host = tmp_path / "host"
    host.mkdir()
    (host / "file").write_text("keep")
    tree = tmp_path / "tree"
    (tree / "dev").mkdir(parents=True)
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "bash", "-c",
         'mount --bind "$1" "$2/dev" && exec bash "$3" remove "$2"', "_",
         str(host), str(tree), str(ROOT / "tools" / "debian_tree.sh")],
        capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (
        1, f"debian_tree.sh: not removing {tree}, file systems are mounted in it: {tree}/dev\n")
    assert (host / "file").read_text() == "keep"
