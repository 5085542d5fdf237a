#!/usr/bin/env bash
# Installs a wheel on Debian 13 as one of its users would and runs the Python suite there: a
# minimal trixie tree (its own python3, glibc and libstdc++, no Crypto++, no compiler), a venv
# of its python3 that sees its pytest, the wheel installed into it with pip from the file alone,
# and the suite run from outside the source files against the installed package.
#
#   tools/distro_check.sh <wheel> [<dir of the test-only modules>]
#
# The test-only modules (_qiv_testkit, _qiv_identity_probe), when given, must load there too:
# they are built like the shipped module. The tree is kept in build-ci/trixie between runs
# (QIV_TRIXIE_TREE names another place) and made from nothing when it is missing.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
(($# == 1 || $# == 2)) || { echo "usage: tools/distro_check.sh <wheel> [<testkit dir>]" >&2; exit 2; }
wheel="$(readlink -f "$1")"
[[ -f "$wheel" ]] || { echo "distro_check.sh: no wheel at $1" >&2; exit 1; }
testkit="${2:-}"
tree="${QIV_TRIXIE_TREE:-$root/build-ci/trixie}"

bash "$root/tools/debian_tree.sh" make trixie "$tree" python3,python3-venv,python3-pytest

# What the tree is: printed, and the absence of Crypto++ checked, so that a tree that somehow
# gained it cannot make the run pass for the wrong reason.
if [[ -n "$(find "$tree/usr/lib" "$tree/lib" -name 'libcrypto++*' -print -quit 2>/dev/null)" ]]; then
  echo "distro_check.sh: the trixie tree has a Crypto++ library; it must not" >&2
  exit 1
fi

# A fresh work folder in the tree: the wheel, the source files that git tracks (the suite and
# what it reads: examples, README, the demo), the test-only modules. Copies, not mounts:
# nothing of the build folders comes along.
work="$tree/qiv-check"
bash "$root/tools/debian_tree.sh" remove "$work"
mkdir -p "$work/dist" "$work/src" "$work/testkit" "$work/run"
cp "$wheel" "$work/dist/"
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf - | tar -C "$work/src" -xf -
modules=()
if [[ -n "$testkit" ]]; then
  for so in "$testkit"/*.abi3.so; do
    [[ -f "$so" ]] || { echo "distro_check.sh: no test-only modules in $testkit" >&2; exit 1; }
    cp "$so" "$work/testkit/"
    modules+=("$(basename "$so" .abi3.so)")
  done
fi

cat >"$work/check.sh" <<EOF
set -eu
echo "   Debian \$(cat /etc/debian_version), \$(python3 --version), glibc \$(getconf GNU_LIBC_VERSION | cut -d' ' -f2)"
python3 -m venv --system-site-packages /qiv-check/venv
/qiv-check/venv/bin/python -m pip install -q --no-index --no-deps --no-cache-dir /qiv-check/dist/*.whl
cd /
/qiv-check/venv/bin/python -c 'import qiv_protocol; print("   imported", qiv_protocol.__file__)'
for module in ${modules[*]}; do
  PYTHONPATH=/qiv-check/testkit /qiv-check/venv/bin/python -c "import \$module" ||
    { echo "distro_check.sh: the test-only module \$module does not load here"; exit 1; }
done
cd /qiv-check/run
QIV_TEST_INSTALLED=1 PYTHONPATH=/qiv-check/testkit \
  /qiv-check/venv/bin/python -m pytest -q -rs -p no:cacheprovider /qiv-check/src/tests/python
EOF
bash "$root/tools/debian_tree.sh" run "$tree" /bin/sh /qiv-check/check.sh
