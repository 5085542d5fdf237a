#!/usr/bin/env bash
# Runs the README's offline Install road on a bare machine: a new copy of the bare tree of this
# machine's Debian release that tools/bare_demo_check.sh keeps (build-ci/<release>-base: no
# python3, compiler, CMake or Crypto++), the README's `apt-get install` line there exactly as
# README.md writes it, then the line after it (venv and pip) in a fresh clone of the committed
# tree, and the module imported from /. A package that the line does not name but the road
# needs fails the check. apt-get reaches the mirror that the tree was made from.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
[[ -n "$suite" ]] || { echo "bare_install_check.sh: no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }
base="${QIV_BARE_TREE:-$root/build-ci/$suite-base}"
tree="$root/build-ci/$suite-install"
log="$root/build-ci/bare-install.log"

# The two lines of the offline road: the indented `apt-get install` line of the README's
# Install section and the one below it.
road="$(awk '/^## /{install = ($0 == "## Install")}
             install && /^    apt-get install / {print substr($0, 5); getline; print substr($0, 5); exit}' \
          "$root/README.md")"
apt_line="$(sed -n 1p <<<"$road")"
pip_line="$(sed -n 2p <<<"$road")"
if [[ -z "$apt_line" || "$pip_line" != "/usr/bin/python3 -m venv v && "* ]]; then
  echo "bare_install_check.sh: no apt-get line followed by the venv line in the README's Install" >&2
  exit 1
fi
echo "   $apt_line"
echo "   $pip_line"

bash "$root/tools/debian_tree.sh" make "$suite" "$base"
bash "$root/tools/debian_tree.sh" remove "$tree"
mkdir -p "$(dirname "$tree")"
cp -a "$base" "$tree"
git clone -q "$root" "$tree/src"
# apt-get as a user types it, answering its question yes; the package lists are fetched first,
# as on any machine whose lists are older than the archive.
echo 'APT::Get::Assume-Yes "true";' >"$tree/etc/apt/apt.conf.d/90qiv-assume-yes"

rc=0
# shellcheck disable=SC2016
bash "$root/tools/debian_tree.sh" run "$tree" /bin/bash -c '
  set -euo pipefail
  export DEBIAN_FRONTEND=noninteractive
  apt-get -qq update
  bash -c "$1" >/var/log/qiv-apt.log || { tail -20 /var/log/qiv-apt.log; exit 1; }
  cd /src
  QIV_BUILD_JOBS=3 bash -c "$2"
  cd /
  /src/v/bin/python -c "import qiv_protocol
assert qiv_protocol.__file__.startswith(\"/src/v/\"), qiv_protocol.__file__
print(\"imported\", qiv_protocol.__file__)"' _ "$apt_line" "$pip_line" >"$log" 2>&1 || rc=$?
sed 's/^/   /' "$log"
if ((rc != 0)); then
  echo "bare_install_check.sh: the README's offline road failed on a bare $suite (exit $rc; log: $log)" >&2
  exit 1
fi
bash "$root/tools/debian_tree.sh" remove "$tree"
echo "bare_install_check.sh: the README's apt-get line installed what its offline road needs on a bare $suite"
