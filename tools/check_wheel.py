#!/usr/bin/env python3
"""Checks that a built wheel keeps the promise of its manylinux_2_34 tag.

    python3 tools/check_wheel.py dist/qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl

Opens the wheel (a zip) and checks:
- its file name's tags are the Tag lines of its .dist-info/WHEEL, and the platform tag is
  manylinux_2_34_x86_64;
- every extension module in it (*.so) is a 64-bit x86-64 ELF whose DT_NEEDED libraries are
  all on the manylinux_2_34 list, which asks for no symbol version above GLIBC_2.34 or
  GCC_7.0.0 and for no GLIBCXX_ or CXXABI_ version at all (the C++ runtime of the build
  machine is linked in, not expected on the target), and which exports exactly one symbol,
  PyInit_<module>;
- the licence texts of what the module links in are in its .dist-info.

Each failed check prints one line naming the library, symbol, version, tag or file at fault;
any failure exits 1, an unreadable wheel or a missing pyelftools 2. Needs pyelftools
(Debian: python3-pyelftools).
"""
import email.parser
import io
import pathlib
import re
import sys
import zipfile

try:
    from elftools.common.exceptions import ELFError
    from elftools.elf.elffile import ELFFile
except ImportError:
    print("check_wheel.py needs pyelftools (Debian: apt-get install python3-pyelftools)",
          file=sys.stderr)
    sys.exit(2)

POLICY = "manylinux_2_34"
PLATFORM = f"{POLICY}_x86_64"

# The libraries that every manylinux_2_34 system provides (the manylinux policy's list).
ALLOWED_LIBRARIES = frozenset({
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6",
    "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1",
    "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0", "ld-linux-x86-64.so.2",
})

# Highest symbol version per family; a family set to None may not be asked for at all.
HIGHEST_VERSIONS = {"GLIBC": (2, 34), "GCC": (7, 0, 0), "GLIBCXX": None, "CXXABI": None}

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


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def check_tags(wheel_name, archive, dist_info):
    problems = []
    match = WHEEL_NAME.match(wheel_name)
    if match is None:
        return [f"{wheel_name}: not a wheel file name (name-version-python-abi-platform.whl)"]
    named = expand_tags(match["python"], match["abi"], match["platform"])
    try:
        wheel_text = archive.read(f"{dist_info}/WHEEL").decode("utf-8")
    except KeyError:
        return [f"{dist_info}/WHEEL: missing"]
    declared = set(email.parser.Parser().parsestr(wheel_text).get_all("Tag") or [])
    if named != declared:
        problems.append(f"{dist_info}/WHEEL: tags {', '.join(sorted(declared)) or '(none)'} "
                        f"differ from the file name's {', '.join(sorted(named))}")
    if match["platform"] != PLATFORM:
        problems.append(f"{wheel_name}: platform tag {match['platform']} is not {PLATFORM}")
    return problems


def exported_symbols(elf):
    dynsym = elf.get_section_by_name(".dynsym")
    if dynsym is None:
        return []
    names = []
    for symbol in dynsym.iter_symbols():
        if (symbol.name and symbol["st_shndx"] != "SHN_UNDEF"
                and symbol["st_info"]["bind"] != "STB_LOCAL"
                and symbol["st_other"]["visibility"] in ("STV_DEFAULT", "STV_PROTECTED")):
            names.append(symbol.name)
    return names


def needed_versions(elf):
    """(library, version name) for every symbol version the module asks for."""
    found = []
    for section in elf.iter_sections():
        if section["sh_type"] == "SHT_GNU_verneed":
            for verneed, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    found.append((verneed.name, aux.name))
    return found


def check_module(member, data):
    """(problems, DT_NEEDED libraries, highest version number per family) of one module."""
    highest = {}
    try:
        elf = ELFFile(io.BytesIO(data))
    except ELFError as error:
        return [f"{member}: not an ELF file ({error})"], [], highest
    if elf.elfclass != 64 or elf["e_machine"] != "EM_X86_64":
        return [f"{member}: a {elf.elfclass}-bit {elf['e_machine']} ELF, not x86-64"], [], highest
    problems = []
    dynamic = elf.get_section_by_name(".dynamic")
    needed = [tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"] \
        if dynamic is not None else []
    for library in needed:
        if library not in ALLOWED_LIBRARIES:
            problems.append(f"{member}: needs {library}, which {POLICY} does not allow")
    # Forbidden or too new versions, reported once per library and family by the highest.
    offending = {}
    for library, version in needed_versions(elf):
        family, _, number = version.partition("_")
        if family not in HIGHEST_VERSIONS:
            continue
        limit = HIGHEST_VERSIONS[family]
        if not re.fullmatch(r"\d+(\.\d+)*", number):
            problems.append(f"{member}: needs {version} of {library}, which {POLICY} does not "
                            f"allow")
            continue
        if family not in highest or version_key(number) > version_key(highest[family]):
            highest[family] = number
        if limit is None or version_key(number) > limit:
            offending.setdefault((library, family), []).append(number)
    for (library, family), numbers in offending.items():
        numbers.sort(key=version_key)
        top = f"{family}_{numbers[-1]}"
        more = f" (and {len(numbers) - 1} lower)" if len(numbers) > 1 else ""
        limit = HIGHEST_VERSIONS[family]
        if limit is None:
            problems.append(f"{member}: needs {top}{more} of {library}, and {POLICY} allows no "
                            f"{family}_ version (link the C++ runtime statically)")
        else:
            problems.append(f"{member}: needs {top}{more} of {library}, above {family}_"
                            f"{'.'.join(map(str, limit))} of {POLICY}")
    module_name = pathlib.PurePosixPath(member).name.split(".")[0]
    entry = f"PyInit_{module_name}"
    exported = exported_symbols(elf)
    for name in exported:
        if name != entry:
            problems.append(f"{member}: exports {name}; only {entry} may be exported")
    if entry not in exported:
        problems.append(f"{member}: does not export {entry}")
    return problems, needed, highest


def check_wheel(path):
    """(problems, summary lines) of the wheel at `path`."""
    archive = zipfile.ZipFile(path)
    names = archive.namelist()
    dist_infos = sorted({n.split("/")[0] for n in names
                         if n.split("/")[0].endswith(".dist-info")})
    if len(dist_infos) != 1:
        return [f"{path.name}: holds {len(dist_infos)} .dist-info folders, not one"], []
    dist_info = dist_infos[0]
    problems = check_tags(path.name, archive, dist_info)
    summary = []
    modules = [n for n in names if n.endswith(".so") or ".so." in pathlib.PurePosixPath(n).name]
    if not modules:
        problems.append(f"{path.name}: holds no extension module (*.so)")
    for member in modules:
        data = archive.read(member)
        module_problems, needed, highest = check_module(member, data)
        problems += module_problems
        versions = ", ".join(f"{family}_{number}" for family, number in sorted(highest.items()))
        summary.append(f"{member}: {len(data)} bytes, needs {', '.join(needed) or 'nothing'}; "
                       f"highest versions {versions or 'none'}")
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
    print(f"ok   {path.name} keeps the {PLATFORM} promise")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
