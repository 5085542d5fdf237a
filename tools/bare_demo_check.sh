#!/usr/bin/env bash
# Runs the README's demo command on a bare machine: a minimal tree of this machine's Debian
# release (no compiler, no CMake, no Crypto++, no pyenv), a fresh clone of the committed tree in
# it, and `bash tools/demo.sh` there, which must install what it lacks with apt-get, build and
# run the demo, printing no warning. The bare tree is kept in build-ci/<release>-base between
# runs; each run works on a new copy of it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
[[ -n "$suite" ]] || { echo "bare_demo_check.sh: no VERSION_CODENAME in /etc/os-release" >&2; exit 1; }
base="${QIV_BARE_TREE:-$root/build-ci/$suite-base}"
tree="$root/build-ci/$suite-demo"

bash "$root/tools/debian_tree.sh" make "$suite" "$base"
bash "$root/tools/debian_tree.sh" remove "$tree"
mkdir -p "$(dirname "$tree")"
cp -a "$base" "$tree"
git clone -q "$root" "$tree/src"

log="$root/build-ci/bare-demo.log"
rc=0
bash "$root/tools/debian_tree.sh" run "$tree" /bin/bash -c 'cd /src && bash tools/demo.sh' \
  >"$log" 2>&1 || rc=$?
sed 's/^/   /' "$log"
if ((rc != 0)); then
  echo "bare_demo_check.sh: the demo failed on a bare $suite (exit $rc; log: $log)" >&2
  exit 1
fi
# The demo's last line, and nothing that reads as a warning from any step of it.
if ! tail -n 1 "$log" | grep -qx '  after drop: 0 item(s)'; then
  echo "bare_demo_check.sh: the demo did not run to its end (log: $log)" >&2
  exit 1
fi
if grep -in 'warn' "$log" >&2; then
  echo "bare_demo_check.sh: the demo printed warnings on a bare $suite (log: $log)" >&2
  exit 1
fi
bash "$root/tools/debian_tree.sh" remove "$tree"
echo "bare_demo_check.sh: the demo installed what it needed, built and ran on a bare $suite"
