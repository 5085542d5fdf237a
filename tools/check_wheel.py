#!/usr/bin/env python3
"""Checks that a built wheel keeps the promise of its platform tag, and that the tag is the one
its module earns.

    python3 tools/check_wheel.py dist/qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl

Opens the wheel (a zip) and checks:
- its file name's tags are the Tag lines of its .dist-info/WHEEL;
- every extension module in it (*.so) is a 64-bit x86-64 ELF that keeps the rules of the
  wheel's manylinux_2_X tag (tools/manylinux_policy.py, which setup.py measures the tag with):
  its DT_NEEDED libraries all on the manylinux list, no symbol version above GLIBC_2.X or
  GCC_7.0.0, and no GLIBCXX_ or CXXABI_ version at all (the C++ runtime of the build machine is
  linked in, not expected on the target); and which exports exactly one symbol,
  PyInit_<module>;
- the platform tag is the oldest manylinux_2_X (X from 34 on) that its modules keep, or
  linux_x86_64 when none fits, as setup.py tags it;
- the licence texts of what the module links in are in its .dist-info.

Each failed check prints one line naming the library, symbol, version, tag or file at fault;
any failure exits 1, an unreadable wheel 2. Needs nothing beyond the standard library.
"""
import email.parser
import pathlib
import re
import sys
import zipfile

import manylinux_policy

ARCH = "x86_64"

# Basenames looked for anywhere under .dist-info/ (older bdist_wheel flattens them, newer
# ones keep them under licenses/).
LICENCE_FILES = ("LICENSE", "CRYPTOPP-LICENSE", "GCC-RUNTIME-LIBRARY-EXCEPTION", "GPL-3")

WHEEL_NAME = re.compile(
    r"^(?P<name>[^-]+)-(?P<version>[^-]+)(-(?P<build>\d[^-]*))?"
    r"-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl$")


def expand_tags(python, abi, platform):
    """The set of tag triples a compressed tag set stands for (cp310.cp311-abi3-... etc.)."""
    return {f"{p}-{a}-{s}" for p in python.split(".") for a in abi.split(".")
            for s in platform.split(".")}


def check_tags(wheel_name, archive, dist_info):
    """(problems, the platform tag of the file name or None)."""
    problems = []
    match = WHEEL_NAME.match(wheel_name)
    if match is None:
        return [f"{wheel_name}: not a wheel file name (name-version-python-abi-platform.whl)"], None
    named = expand_tags(match["python"], match["abi"], match["platform"])
    try:
        wheel_text = archive.read(f"{dist_info}/WHEEL").decode("utf-8")
    except KeyError:
        return [f"{dist_info}/WHEEL: missing"], match["platform"]
    declared = set(email.parser.Parser().parsestr(wheel_text).get_all("Tag") or [])
    if named != declared:
        problems.append(f"{dist_info}/WHEEL: tags {', '.join(sorted(declared)) or '(none)'} "
                        f"differ from the file name's {', '.join(sorted(named))}")
    return problems, match["platform"]


def tag_policy(platform):
    """The manylinux_2_X policy a platform tag promises, "" for linux_x86_64, None for a tag
    this project does not build."""
    if platform == f"linux_{ARCH}":
        return ""
    if platform.endswith(f"_{ARCH}"):
        policy = platform[:-len(f"_{ARCH}")]
        if manylinux_policy.glibc_minor(policy) is not None:
            return policy
    return None


def check_module(member, data, policy):
    """(problems, DT_NEEDED libraries, highest version number per family, the oldest
    manylinux policy the module keeps or None) of one module, held to `policy` (no rules
    for "")."""
    try:
        info = manylinux_policy.read_elf(data)
    except manylinux_policy.ElfError as error:
        return [f"{member}: not an ELF file ({error})"], [], {}, None
    if info.bits != 64 or info.machine != manylinux_policy.EM_X86_64:
        return ([f"{member}: a {info.bits}-bit ELF for machine {info.machine}, not x86-64"],
                [], {}, None)
    problems = []
    if policy:
        problems += [f"{member}: {text}" for text in manylinux_policy.breaches(info, policy)]
    module_name = pathlib.PurePosixPath(member).name.split(".")[0]
    entry = f"PyInit_{module_name}"
    for name in info.exports:
        if name != entry:
            problems.append(f"{member}: exports {name}; only {entry} may be exported")
    if entry not in info.exports:
        problems.append(f"{member}: does not export {entry}")
    return (problems, info.needed, manylinux_policy.highest_versions(info),
            manylinux_policy.oldest_manylinux(info))


def check_wheel(path):
    """(problems, summary lines) of the wheel at `path`."""
    archive = zipfile.ZipFile(path)
    names = archive.namelist()
    dist_infos = sorted({n.split("/")[0] for n in names
                         if n.split("/")[0].endswith(".dist-info")})
    if len(dist_infos) != 1:
        return [f"{path.name}: holds {len(dist_infos)} .dist-info folders, not one"], []
    dist_info = dist_infos[0]
    problems, platform = check_tags(path.name, archive, dist_info)
    policy = None if platform is None else tag_policy(platform)
    if platform is not None and policy is None:
        problems.append(f"{path.name}: platform tag {platform} is none this project builds "
                        f"(manylinux_2_X_{ARCH} with X from "
                        f"{manylinux_policy.OLDEST_GLIBC_MINOR} on, or linux_{ARCH})")
    summary = []
    modules = [n for n in names if n.endswith(".so") or ".so." in pathlib.PurePosixPath(n).name]
    if not modules:
        problems.append(f"{path.name}: holds no extension module (*.so)")
    # The wheel earns the newest of its modules' oldest tags; a module that keeps none leaves
    # it linux_x86_64.
    earned, module_faults = "", False
    for member in modules:
        data = archive.read(member)
        module_problems, needed, highest, oldest = check_module(member, data, policy)
        problems += module_problems
        module_faults = module_faults or bool(module_problems)
        if oldest is None or earned is None:
            earned = None
        elif not earned or (manylinux_policy.glibc_minor(oldest) >
                            manylinux_policy.glibc_minor(earned)):
            earned = oldest
        versions = ", ".join(f"{family}_{number}" for family, number in sorted(highest.items()))
        summary.append(f"{member}: {len(data)} bytes, needs {', '.join(needed) or 'nothing'}; "
                       f"highest versions {versions or 'none'}")
    # A module at fault has had its culprits named above; modules that keep the tag's promise
    # must still have the tag that setup.py measures from them.
    earned_platform = f"{earned}_{ARCH}" if earned else f"linux_{ARCH}"
    if modules and policy is not None and not module_faults and platform != earned_platform:
        problems.append(f"{path.name}: platform tag {platform} is not {earned_platform}, the "
                        f"oldest its module keeps")
    present = {pathlib.PurePosixPath(n).name for n in names if n.startswith(f"{dist_info}/")}
    for licence in LICENCE_FILES:
        if licence not in present:
            problems.append(f"{dist_info}: licence file {licence} missing")
    return problems, summary


def main(argv):
    if len(argv) != 2:
        print(f"usage: {argv[0]} <wheel>", file=sys.stderr)
        return 2
    path = pathlib.Path(argv[1])
    try:
        problems, summary = check_wheel(path)
    except (OSError, zipfile.BadZipFile) as error:
        print(f"{path}: cannot be read as a wheel ({error})", file=sys.stderr)
        return 2
    for line in problems:
        print(f"FAIL {line}")
    if problems:
        return 1
    for line in summary:
        print(f"ok   {line}")
    print(f"ok   {path.name} keeps the {WHEEL_NAME.match(path.name)['platform']} promise")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
