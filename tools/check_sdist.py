#!/usr/bin/env python3
"""Checks that a source distribution holds exactly the files that git tracks.

    python3 tools/check_sdist.py dist/qiv_protocol-0.1.0.tar.gz [<git tree>]

Compares the files in the archive (below its one top folder, named as the archive is) with
`git ls-files` of the tree (the repository holding this script unless given). The only
untracked files allowed are those the sdist command writes itself: PKG-INFO and setup.cfg at
the top, and the egg-info folder. Prints one line per tracked file that is missing and per
untracked file that is present; any of them exits 1, an unreadable archive or tree 2.
"""
import pathlib
import subprocess
import sys
import tarfile

# What setuptools' sdist generates: the metadata (also inside the egg-info folder, wherever
# egg_base puts it) and the egg_info options it records in setup.cfg.
GENERATED_AT_TOP = frozenset({"PKG-INFO", "setup.cfg"})


def generated(path):
    return path in GENERATED_AT_TOP or any(
        part.endswith(".egg-info") for part in pathlib.PurePosixPath(path).parts[:-1])


def sdist_files(archive_path):
    """The archive's file paths below its top folder, or an error text."""
    top = archive_path.name.removesuffix(".tar.gz")
    files, outside = set(), []
    with tarfile.open(archive_path) as archive:
        for member in archive.getmembers():
            if member.isdir():
                continue
            head, _, rest = member.name.partition("/")
            if head != top or not rest:
                outside.append(member.name)
            else:
                files.add(rest)
    if outside:
        return None, f"{archive_path.name}: {outside[0]} is not under {top}/"
    return files, None


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: tools/check_sdist.py <sdist.tar.gz> [<git tree>]", file=sys.stderr)
        return 2
    archive_path = pathlib.Path(argv[1])
    tree = pathlib.Path(argv[2] if len(argv) == 3 else pathlib.Path(__file__).parents[1])
    try:
        files, error = sdist_files(archive_path)
    except (OSError, tarfile.TarError) as exc:
        print(f"{archive_path}: cannot read it ({exc})", file=sys.stderr)
        return 2
    if error:
        print(error)
        return 1
    listed = subprocess.run(["git", "-C", str(tree), "ls-files", "-z"], capture_output=True,
                            text=True)
    if listed.returncode != 0:
        print(f"{tree}: git ls-files failed: {listed.stderr.strip()}", file=sys.stderr)
        return 2
    tracked = set(filter(None, listed.stdout.split("\0")))
    missing = sorted(tracked - files)
    untracked = sorted(path for path in files - tracked if not generated(path))
    for path in missing:
        print(f"missing from the sdist: {path}")
    for path in untracked:
        print(f"not tracked by git: {path}")
    if missing or untracked:
        return 1
    print(f"{archive_path.name}: all {len(tracked)} tracked files and no other file but "
          f"PKG-INFO, setup.cfg and the egg-info")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
