#!/usr/bin/env bash
# Builds the sdist on Debian 13 as a user or a packager there would: a minimal trixie tree with
# its build packages (python 3.13 and its headers, gcc 14, glibc 2.41, cmake, Crypto++) and no
# other CPython, pip offline with Debian's setuptools and wheel from /usr/share/python-wheels.
#
#   tools/sdist_build_check.sh <sdist> [<dir of the test-only modules>]
#
# In the tree: the wheel built from the sdist must carry the platform tag its module earns
# (tools/check_wheel.py of the sdist), with no compiler warning in the build; the sdist
# installed with pip into a venv of the tree's python3 must import from / and pass the sdist's
# own Python suite (the test-only modules, when given, are loaded from their folder). The tree
# is kept in build-ci/trixie-build between runs (QIV_TRIXIE_BUILD_TREE names another place) and
# made from nothing when it is missing; QIV_BUILD_JOBS compile jobs (3).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
(($# == 1 || $# == 2)) || { echo "usage: tools/sdist_build_check.sh <sdist> [<testkit dir>]" >&2; exit 2; }
sdist="$(readlink -f "$1")"
[[ -f "$sdist" ]] || { echo "sdist_build_check.sh: no sdist at $1" >&2; exit 1; }
testkit="${2:-}"
tree="${QIV_TRIXIE_BUILD_TREE:-$root/build-ci/trixie-build}"

bash "$root/tools/debian_tree.sh" make trixie "$tree" \
  python3,python3-dev,python3-venv,python3-pip,python3-setuptools-whl,python3-wheel-whl,cmake,ninja-build,g++,libcrypto++-dev,python3-pytest

# The tree must have no CPython but its python3 (3.13), so that the build can only use its headers.
others=()
for python in "$tree"/usr/bin/python3.* "$tree"/usr/local/bin/python3.*; do
  [[ "$(basename "$python")" =~ ^python3\.[0-9]+$ && "$python" != "$tree/usr/bin/python3.13" ]] &&
    others+=("${python#"$tree"}")
done
((${#others[@]} == 0)) || { echo "sdist_build_check.sh: the tree has other interpreters: ${others[*]}" >&2; exit 1; }

# A fresh work folder in the tree: the sdist, its unpacked files (their tests and tools), the
# test-only modules. Copies, not mounts.
work="$tree/qiv-sdist"
bash "$root/tools/debian_tree.sh" remove "$work"
mkdir -p "$work/src" "$work/testkit" "$work/run" "$work/dist"
cp "$sdist" "$work/"
tar -xzf "$sdist" -C "$work/src" --strip-components=1
if [[ -n "$testkit" ]]; then
  for so in "$testkit"/*.abi3.so; do
    [[ -f "$so" ]] || { echo "sdist_build_check.sh: no test-only modules in $testkit" >&2; exit 1; }
    cp "$so" "$work/testkit/"
  done
fi
name="$(basename "$sdist")"

cat >"$work/check.sh" <<EOF
set -eu
echo "   Debian \$(cat /etc/debian_version), \$(python3 --version), \$(g++ --version | head -n 1), glibc \$(getconf GNU_LIBC_VERSION | cut -d' ' -f2)"
export QIV_BUILD_JOBS=${QIV_BUILD_JOBS:-3} PIP_NO_CACHE_DIR=1
links="--no-index --find-links /usr/share/python-wheels"
# The venv sees the tree's pytest; pip still builds in an isolated environment of its own.
python3 -m venv --system-site-packages /qiv-sdist/v
cd /qiv-sdist
QIV_BUILD_DIR=/qiv-sdist/cmake v/bin/pip wheel -q \$links --no-deps -w dist "$name"
ls cmake/*.log >/dev/null
if grep -h 'warning:' cmake/*.log; then echo "sdist_build_check.sh: the build warned"; exit 1; fi
python3 src/tools/check_wheel.py dist/*.whl
v/bin/pip install -q \$links "$name"
cd /
v=/qiv-sdist/v/bin/python
\$v -c 'import qiv_protocol; print("   imported", qiv_protocol.__file__)'
cd /qiv-sdist/run
QIV_TEST_INSTALLED=1 PYTHONPATH=/qiv-sdist/testkit \$v -m pytest -q -rs -p no:cacheprovider /qiv-sdist/src/tests/python
EOF
bash "$root/tools/debian_tree.sh" run "$tree" /bin/sh /qiv-sdist/check.sh
