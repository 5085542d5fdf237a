#!/usr/bin/env bash
# Installs, with apt-get, the packages of the named groups of tools/packages.txt that are not
# installed yet, and says which. Nothing is done when all are present.
#
#   tools/install_packages.sh demo          # what tools/demo.sh needs
#   tools/install_packages.sh demo tests    # everything tools/test_all.sh needs
#   tools/install_packages.sh --list demo   # print the group's packages, install nothing
set -euo pipefail

list_file="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/packages.txt"
list_only=0
if [[ "${1:-}" == --list ]]; then
  list_only=1
  shift
fi
if (($# == 0)); then
  echo "usage: tools/install_packages.sh [--list] <group>... (groups of tools/packages.txt)" >&2
  exit 2
fi

packages=()
for group in "$@"; do
  found=0
  in_group=0
  while read -r line; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    [[ -n "$line" ]] || continue
    if [[ "$line" == \[*\] ]]; then
      [[ "$line" == "[$group]" ]] && { in_group=1; found=1; } || in_group=0
      continue
    fi
    ((in_group)) && packages+=("$line")
  done <"$list_file"
  if ((!found)); then
    echo "install_packages.sh: no group [$group] in $list_file" >&2
    exit 2
  fi
done

if ((list_only)); then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  # "ii": installed and configured; a package removed with its configuration left is missing.
  [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" == ii* ]] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "== installing with apt-get: ${missing[*]}"
if ((EUID != 0)); then
  echo "install_packages.sh: installing needs root; run as root, or install them first:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -qq -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0)
"${apt[@]}" update
# Without apt-utils, debconf says on every install that it configures the packages later, as
# it then does; on a bare machine that notice is no warning of ours, so it is left out.
"${apt[@]}" install -y --no-install-recommends "${missing[@]}" >/dev/null \
  2> >(grep -vx 'debconf: delaying package configuration, since apt-utils is not installed' >&2)
echo "== installed: ${missing[*]}"
