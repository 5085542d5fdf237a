"""What a built extension module asks of the machine that loads it, and which manylinux tag
that earns: the one rule set that setup.py tags the wheel with and tools/check_wheel.py checks a
wheel against.

    info = read_elf(pathlib.Path("qiv_protocol.abi3.so").read_bytes())
    oldest_manylinux(info)             # "manylinux_2_34", or None: no manylinux tag fits
    breaches(info, "manylinux_2_36")   # [] when the module keeps that tag's promise

The rules of manylinux_2_X (X from 34 on, the oldest the project builds for): every DT_NEEDED
library on the manylinux list, no symbol version above GLIBC_2.X or GCC_7.0.0, and none of
GLIBCXX_ or CXXABI_ at all (the C++ runtime of the build machine is linked in, not expected on
the target). Only x86-64 modules get a manylinux tag: the library list is that architecture's.

The ELF reader is this file's own, reading only the dynamic section, the dynamic symbols and
the version needs, so that a build needs nothing beyond the standard library (pip's isolated
build environment has setuptools and wheel alone).
"""
import collections
import re
import struct

# The oldest glibc whose manylinux tag the project's wheels may carry.
OLDEST_GLIBC_MINOR = 34

# The libraries that every manylinux_2_34 system provides (the manylinux policy's list).
ALLOWED_LIBRARIES = frozenset({
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6",
    "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1",
    "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0", "ld-linux-x86-64.so.2",
})

# Highest symbol version per family besides GLIBC (whose limit is the tag's); a family set to
# None may not be asked for at all.
FIXED_LIMITS = {"GCC": (7, 0, 0), "GLIBCXX": None, "CXXABI": None}

MANYLINUX = re.compile(r"manylinux_2_(\d+)")

EM_X86_64 = 62
SHT_DYNAMIC, SHT_DYNSYM, SHT_GNU_VERNEED = 6, 11, 0x6ffffffe
DT_NULL, DT_NEEDED = 0, 1

ElfInfo = collections.namedtuple("ElfInfo", "bits machine needed versions exports")
ElfInfo.__doc__ = """What read_elf finds: the class (32 or 64), e_machine as a number, the
DT_NEEDED names, (library, version name) for every symbol version asked for, and the names of
the defined dynamic symbols that are exported (global or weak, default or protected)."""


class ElfError(ValueError):
    """The bytes are no ELF file, or one whose tables point outside it."""


def read_elf(data):
    """The ElfInfo of the ELF file in `data` (bytes); ElfError when it cannot be read."""
    if data[:4] != b"\x7fELF" or len(data) < 16:
        raise ElfError("no ELF magic")
    bits = {1: 32, 2: 64}.get(data[4])
    order = {1: "<", 2: ">"}.get(data[5])
    if bits is None or order is None:
        raise ElfError(f"unknown ELF class {data[4]} or byte order {data[5]}")
    word = "Q" if bits == 64 else "I"
    try:
        machine, = struct.unpack_from(order + "H", data, 18)
        shoff, = struct.unpack_from(order + word, data, 40 if bits == 64 else 32)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 58 if bits == 64 else 46)
        section = order + ("IIQQQQIIQQ" if bits == 64 else "IIIIIIIIII")
        sections = []
        for i in range(shnum):
            fields = struct.unpack_from(section, data, shoff + i * shentsize)
            # (type, offset, size, link, info, entry size)
            sections.append((fields[1], fields[4], fields[5], fields[6], fields[7], fields[9]))
        if not any(s[0] == SHT_DYNAMIC for s in sections):
            raise ElfError("no dynamic section")

        def string(table, offset):
            start = sections[table][1] + offset
            end = data.index(b"\0", start)
            return data[start:end].decode("utf-8", "replace")

        needed, versions, exports = [], [], []
        for kind, offset, size, link, info, entsize in sections:
            if kind == SHT_DYNAMIC:
                entry = order + ("qQ" if bits == 64 else "iI")
                for at in range(offset, offset + size, struct.calcsize(entry)):
                    tag, value = struct.unpack_from(entry, data, at)
                    if tag == DT_NULL:
                        break
                    if tag == DT_NEEDED:
                        needed.append(string(link, value))
            elif kind == SHT_DYNSYM:
                symbol = order + ("IBBHQQ" if bits == 64 else "IIIBBH")
                for at in range(offset + entsize, offset + size, entsize):  # 0 is the null one
                    fields = struct.unpack_from(symbol, data, at)
                    if bits == 64:
                        name, st_info, other, shndx = fields[:4]
                    else:
                        name, st_info, other, shndx = fields[0], fields[3], fields[4], fields[5]
                    # Defined, not local, visible: default (0) or protected (3).
                    if name and shndx != 0 and st_info >> 4 != 0 and other & 3 in (0, 3):
                        exports.append(string(link, name))
            elif kind == SHT_GNU_VERNEED:
                at = offset
                for _ in range(info):
                    _, count, file_name, aux, following = struct.unpack_from(
                        order + "HHIII", data, at)
                    library = string(link, file_name)
                    aux_at = at + aux
                    for _ in range(count):
                        _, _, _, version, aux_next = struct.unpack_from(
                            order + "IHHII", data, aux_at)
                        versions.append((library, string(link, version)))
                        aux_at += aux_next
                    if not following:
                        break
                    at += following
    except (struct.error, IndexError, ValueError) as error:  # ValueError: no string end
        if isinstance(error, ElfError):
            raise
        raise ElfError("a table points outside the file") from None
    return ElfInfo(bits, machine, needed, versions, exports)


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def glibc_minor(policy):
    """X of a manylinux_2_X policy name the project builds for, else None."""
    match = MANYLINUX.fullmatch(policy)
    if match is None or int(match[1]) < OLDEST_GLIBC_MINOR:
        return None
    return int(match[1])


def breaches(info, policy):
    """The rules of `policy` (manylinux_2_X, X from OLDEST_GLIBC_MINOR on) that the module
    breaks, one sentence each, naming the library or version at fault (the highest of each
    library and family)."""
    limits = dict(FIXED_LIMITS, GLIBC=(2, glibc_minor(policy)))
    found = [f"needs {library}, which {policy} does not allow"
             for library in info.needed if library not in ALLOWED_LIBRARIES]
    offending = {}
    for library, version in info.versions:
        family, _, number = version.partition("_")
        if family not in limits:
            continue
        if not re.fullmatch(r"\d+(\.\d+)*", number):
            found.append(f"needs {version} of {library}, which {policy} does not allow")
            continue
        limit = limits[family]
        if limit is None or version_key(number) > limit:
            offending.setdefault((library, family), []).append(number)
    for (library, family), numbers in offending.items():
        numbers.sort(key=version_key)
        top = f"{family}_{numbers[-1]}"
        more = f" (and {len(numbers) - 1} lower)" if len(numbers) > 1 else ""
        limit = limits[family]
        if limit is None:
            found.append(f"needs {top}{more} of {library}, and {policy} allows no {family}_ "
                         f"version (link the C++ runtime statically)")
        else:
            found.append(f"needs {top}{more} of {library}, above {family}_"
                         f"{'.'.join(map(str, limit))} of {policy}")
    return found


def highest_versions(info):
    """The highest version number asked for per family that the rules know (GLIBC, GCC,
    GLIBCXX, CXXABI), as text."""
    highest = {}
    for _, version in info.versions:
        family, _, number = version.partition("_")
        if (family in FIXED_LIMITS or family == "GLIBC") and re.fullmatch(r"\d+(\.\d+)*", number):
            if family not in highest or version_key(number) > version_key(highest[family]):
                highest[family] = number
    return highest


def oldest_manylinux(info):
    """The oldest manylinux_2_X whose rules the module keeps, or None when none fits (another
    architecture, a library off the list, a C++ runtime asked for)."""
    if info.bits != 64 or info.machine != EM_X86_64:
        return None
    glibc = highest_versions(info).get("GLIBC", "2.0")
    major, minor = (version_key(glibc) + (0,))[:2]
    if major != 2:
        return None
    policy = f"manylinux_2_{max(minor, OLDEST_GLIBC_MINOR)}"
    return None if breaches(info, policy) else policy


def platform_tag(data, arch):
    """The wheel platform tag for the module in `data` built for `arch` (x86_64, aarch64...):
    its oldest manylinux tag, else linux_<arch>."""
    policy = oldest_manylinux(read_elf(data))
    return f"{policy}_{arch}" if policy and arch == "x86_64" else f"linux_{arch}"
