#!/usr/bin/env bash
# The module built against another CPython's headers than the oldest one: it must ask the loader
# for nothing that the module built against the oldest headers does not, and pass the Python
# suite on the oldest interpreter. Py_LIMITED_API holds every build to 3.10's stable ABI; this
# is the check that newer headers keep to it.
#
#   tools/headers_check.sh build <python> <build dir>       # the module against <python>'s headers
#   tools/headers_check.sh symbols <module> <reference>     # fails on symbols only <module> needs
#   tools/headers_check.sh suite <python> <module dir> [<testkit dir>]
#
# build: a Release build of the module alone, as the wheel has it (self-contained, stripped,
# warnings as errors), into <build dir>/python/qiv_protocol.abi3.so; QIV_BUILD_JOBS compile
# jobs (3). symbols: the undefined dynamic symbols (with their versions) of both modules, counted,
# and those of <module> missing from <reference> (a module file or a wheel holding one)
# printed; any exits 1. suite: tests/python run by <python> (which must have pytest) from
# outside the tree against the module in <module dir>, with the test-only modules of <testkit
# dir>; the module must be the one imported.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
usage() {
  echo "usage: tools/headers_check.sh build <python> <build dir>" >&2
  echo "       tools/headers_check.sh symbols <module> <reference module or wheel>" >&2
  echo "       tools/headers_check.sh suite <python> <module dir> [<testkit dir>]" >&2
  exit 2
}

undefined_symbols() {  # undefined_symbols <module or wheel>: name@version, one a line, sorted
  local file="$1" tmp
  if [[ "$file" == *.whl ]]; then
    tmp="$(mktemp)"
    python3 - "$file" "$tmp" <<'EOF'
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
modules = [n for n in archive.namelist() if n.endswith(".abi3.so")]
if len(modules) != 1:
    sys.exit(f"{sys.argv[1]}: holds {len(modules)} modules, not one")
open(sys.argv[2], "wb").write(archive.read(modules[0]))
EOF
    nm -D --undefined-only "$tmp" | awk '{print $NF}' | sort -u
    rm -f "$tmp"
  else
    nm -D --undefined-only "$file" | awk '{print $NF}' | sort -u
  fi
}

(($# >= 1)) || usage
command="$1"
shift
case "$command" in
  build)
    (($# == 2)) || usage
    python="$1" dir="$2"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIV_BUILD_TESTS=OFF \
      -DQIV_SELF_CONTAINED=ON -DQIV_WERROR=ON -DCMAKE_MODULE_LINKER_FLAGS=-s \
      "-DPython_EXECUTABLE=$python" >"$dir.log" 2>&1 ||
      { tail -30 "$dir.log"; echo "headers_check.sh: configuring failed (log: $dir.log)"; exit 1; }
    ninja -C "$dir" -j "${QIV_BUILD_JOBS:-3}" qiv_protocol >>"$dir.log" 2>&1 ||
      { tail -30 "$dir.log"; echo "headers_check.sh: compiling failed (log: $dir.log)"; exit 1; }
    echo "   $dir/python/qiv_protocol.abi3.so, compiled against the headers of" \
         "$("$python" -c 'import platform; print(platform.python_version())')"
    ;;
  symbols)
    (($# == 2)) || usage
    ours="$(undefined_symbols "$1")"
    reference="$(undefined_symbols "$2")"
    extra="$(comm -23 <(echo "$ours") <(echo "$reference"))"
    fewer="$(comm -13 <(echo "$ours") <(echo "$reference"))"
    echo "   $(grep -c . <<<"$ours") undefined symbols, the reference $(grep -c . <<<"$reference");" \
         "$(grep -c . <<<"$extra" || true) only in $(basename "$1"), $(grep -c . <<<"$fewer" || true) only in the reference"
    if [[ -n "$extra" ]]; then
      echo "headers_check.sh: $1 needs what $2 does not:"
      sed 's/^/   /' <<<"$extra"
      exit 1
    fi
    ;;
  suite)
    (($# == 2 || $# == 3)) || usage
    python="$1" modules="$(cd "$2" && pwd)" testkit="${3:-}"
    [[ -f "$modules/qiv_protocol.abi3.so" ]] || { echo "headers_check.sh: no module in $2" >&2; exit 1; }
    [[ -z "$testkit" ]] || testkit="$(cd "$testkit" && pwd)"
    outside="$(mktemp -d)"
    trap 'rm -rf "$outside"' EXIT
    cd "$outside"
    export PYTHONPATH="$modules${testkit:+:$testkit}"
    # shellcheck disable=SC2016
    "$python" -c 'import sys, qiv_protocol
assert qiv_protocol.__file__.startswith(sys.argv[1] + "/"), qiv_protocol.__file__
print("   imported", qiv_protocol.__file__, "on", sys.version.split()[0])' "$modules"
    "$python" -m pytest -q -p no:cacheprovider "$root/tests/python"
    ;;
  *) usage ;;
esac
