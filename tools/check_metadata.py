"""Checks the metadata of a release: the wheel's METADATA and the sdist's PKG-INFO.

    python3 tools/check_metadata.py <wheel> <sdist> <licence field>

Both must give the licence of what the wheel carries in <licence field> ("License" as Debian
12's setuptools writes it, "License-Expression" from setuptools 77 on), name the four licence
files in License-File lines, carry README.md (beside this script's folder) as their markdown
long description and the CPython classifier. Prints one line on success; otherwise exits with
a line per file that differs, naming what was found and what was expected.
"""
import email.parser
import pathlib
import sys
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
LICENCE = "MIT AND BSL-1.0 AND GPL-3.0-or-later WITH GCC-exception-3.1"
LICENCE_FILES = ["LICENSE", "licenses/CRYPTOPP-LICENSE", "licenses/GCC-RUNTIME-LIBRARY-EXCEPTION",
                 "licenses/GPL-3"]
CPYTHON = "Programming Language :: Python :: Implementation :: CPython"


def metadata_texts(wheel_path, sdist_path):
    wheel = zipfile.ZipFile(wheel_path)
    with tarfile.open(sdist_path) as sdist:
        pkg_info = next(m for m in sdist.getmembers() if m.name.count("/") == 1
                        and m.name.endswith("/PKG-INFO"))
        sdist_text = sdist.extractfile(pkg_info).read()
    return {
        wheel_path: wheel.read(next(n for n in wheel.namelist()
                                    if n.endswith(".dist-info/METADATA"))),
        sdist_path: sdist_text,
    }


def main(wheel_path, sdist_path, licence_field):
    readme = (ROOT / "README.md").read_text(encoding="utf-8").strip()
    expected = {licence_field: [LICENCE], "License-File": LICENCE_FILES,
                "Description-Content-Type": ["text/markdown"], "CPython": True,
                "README.md": True}
    wrong = []
    for path, text in metadata_texts(wheel_path, sdist_path).items():
        fields = email.parser.BytesParser().parsebytes(text)
        body = fields.get_payload(decode=True) or b""
        found = {licence_field: fields.get_all(licence_field),
                 "License-File": fields.get_all("License-File"),
                 "Description-Content-Type": fields.get_all("Description-Content-Type"),
                 "CPython": CPYTHON in fields.get_all("Classifier", []),
                 "README.md": body.decode("utf-8").strip() == readme}
        if found != expected:
            wrong.append(f"{path}: {found}; expected {expected}")
    if wrong:
        sys.exit("\n".join(wrong))
    print(f"   {licence_field}: {LICENCE}, the four License-File lines, README.md as "
          "text/markdown and the CPython classifier in METADATA and PKG-INFO")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_metadata.py <wheel> <sdist> <licence field>")
    main(*sys.argv[1:])
