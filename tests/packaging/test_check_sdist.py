"""tools/check_sdist.py names each tracked file an sdist lacks and each untracked file it holds,
allowing only the metadata the sdist command writes itself."""
import io
import pathlib
import subprocess
import sys
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "check_sdist.py"
TRACKED = ("README.md", "src/a.cc", "tests/data/v.txt")
METADATA = ("PKG-INFO", "setup.cfg", "build/wheel/demo.egg-info/SOURCES.txt")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """A git tree tracking TRACKED, with an untracked file beside them."""
    root = tmp_path_factory.mktemp("tree")
    for path in TRACKED:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(path)
    subprocess.run(["git", "init", "-q", str(root)], check=True, timeout=60)
    subprocess.run(["git", "-C", str(root), "add", *TRACKED], check=True, timeout=60)
    (root / "stray.txt").write_text("not tracked")
    return root


def make_sdist(directory, members, folder="demo-1.0"):
    path = directory / "demo-1.0.tar.gz"
    with tarfile.open(path, "w:gz") as archive:
        for name in members:
            data = name.encode()
            info = tarfile.TarInfo(f"{folder}/{name}")
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return path


def check(sdist, tree):
    return subprocess.run([sys.executable, str(SCRIPT), str(sdist), str(tree)],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("members, code, output", [
    (TRACKED + METADATA, 0,
     "demo-1.0.tar.gz: all 3 tracked files and no other file but PKG-INFO, setup.cfg and the "
     "egg-info\n"),
    (("README.md", "stray.txt", "build/cmake/CMakeCache.txt") + METADATA, 1,
     "missing from the sdist: src/a.cc\n"
     "missing from the sdist: tests/data/v.txt\n"
     "not tracked by git: build/cmake/CMakeCache.txt\n"
     "not tracked by git: stray.txt\n"),
    # Metadata names are allowed only where the sdist command writes them.
    (TRACKED + ("src/PKG-INFO", "tests/setup.cfg"), 1,
     "not tracked by git: src/PKG-INFO\n"
     "not tracked by git: tests/setup.cfg\n"),
])
def test_sdist_is_compared_with_git_ls_files(tree, tmp_path, members, code, output):
    sdist = make_sdist(tmp_path, members)
    done = check(sdist, tree)
    assert (done.returncode, done.stdout, done.stderr) == (code, output, "")


def test_a_top_folder_not_named_as_the_archive_is_refused(tree, tmp_path):
    sdist = make_sdist(tmp_path, TRACKED, folder="demo-0.9")
    done = check(sdist, tree)
    assert (done.returncode, done.stdout) == (
        1, "demo-1.0.tar.gz: demo-0.9/README.md is not under demo-1.0/\n")
