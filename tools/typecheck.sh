#!/usr/bin/env bash
# Type checks of the stubs, against an installed wheel:
#
#     bash tools/typecheck.sh <python of a venv where the wheel is installed>
#
# The venv's python must also reach mypy (Debian's python3-mypy, through --system-site-packages).
# Runs, one summary line each: stubtest (the stubs match the installed module); mypy --strict on
# tools/demo.py and examples/*.py; mypy --strict on tests/typing/refused.py, which must report an
# error on exactly the lines marked `# refused`; then the same two checks with pyright in strict
# mode. pyright comes from npm, pinned below, installed into $QIV_PYRIGHT_DIR (default
# build/node) when that folder does not hold that version yet. Exits non-zero if any check fails.
set -euo pipefail
if (($# != 1)) || [[ ! -x "$1" ]]; then
  echo "usage: bash tools/typecheck.sh <python of a venv where the wheel is installed>" >&2
  exit 2
fi
# Absolute, but not resolved: a venv's python is a symbolic link that must stay the venv's.
py="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
cd "$(dirname "$0")/.."
root="$(pwd)"

pyright_version=1.1.414
pyright_dir="${QIV_PYRIGHT_DIR:-$root/build/node}"
if ! "$py" -c 'import mypy' 2>/dev/null; then
  echo "$py cannot import mypy (make the venv with --system-site-packages, with python3-mypy)" >&2
  exit 2
fi

checked=("$root/tools/demo.py" "$root"/examples/*.py)
refused="$root/tests/typing/refused.py"
outside="$(mktemp -d)"  # every check runs from here, away from the source tree
trap 'rm -rf "$outside"' EXIT

summary=()
failed=0
note() {  # note <rc> <label>
  if (($1 == 0)); then summary+=("PASS  $2"); else summary+=("FAIL  $2"); failed=1; fi
}

# check_refusals <label> <checker's exit code> <checker's output> <error line pattern>: the
# checker must have found errors (exit code 1) on exactly the lines of $refused marked
# `# refused`; names every line it missed and every other line it flagged.
check_refusals() {
  local label="$1" rc="$2" out="$3" pattern="$4" expected got missing extra line
  expected="$(grep -n '# refused$' "$refused" | cut -d: -f1 | sort -n)"
  got="$(grep -oE "$pattern" <<<"$out" | sed -E 's/^[^:]*:([0-9]+).*/\1/' | sort -un || true)"
  missing="$(comm -23 <(sort <<<"$expected") <(sort <<<"$got") | sort -n)"
  extra="$(comm -13 <(sort <<<"$expected") <(sort <<<"$got") | sort -n)"
  if ((rc == 1)) && [[ -z "$missing" && -z "$extra" ]]; then
    note 0 "$label: $(wc -l <<<"$expected") of $(wc -l <<<"$expected") marked lines refused"
    return
  fi
  echo "$out"
  for line in $missing; do
    echo "   not refused, line $line: $(sed -n "${line}p" "$refused" | sed 's/^ *//')"
  done
  for line in $extra; do
    echo "   refused but not marked, line $line: $(sed -n "${line}p" "$refused" | sed 's/^ *//')"
  done
  note 1 "$label (exit $rc, $(wc -w <<<"$missing") missed, $(wc -w <<<"$extra") unmarked)"
}

echo "== stubtest qiv_protocol"
rc=0
(cd "$outside" && "$py" -m mypy.stubtest qiv_protocol) || rc=$?
note "$rc" "stubtest against the installed module"

mypy_strict=("$py" -m mypy --strict --cache-dir "$outside/mypy-cache")
echo "== mypy --strict tools/demo.py examples/*.py"
rc=0
(cd "$outside" && "${mypy_strict[@]}" "${checked[@]}") || rc=$?
note "$rc" "mypy --strict on the demo and the examples"

echo "== mypy --strict tests/typing/refused.py"
rc=0
out="$(cd "$outside" && "${mypy_strict[@]}" "$refused" 2>&1)" || rc=$?
check_refusals "mypy --strict refuses what the module refuses" "$rc" "$out" \
  'refused\.py:[0-9]+: error'

echo "== pyright $pyright_version"
pyright="$pyright_dir/node_modules/.bin/pyright"
rc=0
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "   pyright needs node and npm (Debian: nodejs, npm)"
  rc=1
elif [[ "$("$pyright" --version 2>/dev/null)" != "pyright $pyright_version" ]]; then
  echo "   installing pyright@$pyright_version into $pyright_dir"
  mkdir -p "$pyright_dir"
  npm install --prefix "$pyright_dir" --no-save --no-audit --no-fund --loglevel=error \
    "pyright@$pyright_version" || rc=$?
fi
((rc == 0)) && { [[ "$("$pyright" --version)" == "pyright $pyright_version" ]] || rc=1; }
note "$rc" "pyright $pyright_version at hand"
if ((rc == 0)); then
  # Strict mode for every file given; the venv's python tells pyright where the wheel is.
  echo '{"typeCheckingMode": "strict"}' >"$outside/pyrightconfig.json"
  pyright_strict=("$pyright" -p "$outside/pyrightconfig.json" --pythonpath "$py")
  echo "== pyright strict tools/demo.py examples/*.py"
  rc=0
  (cd "$outside" && "${pyright_strict[@]}" "${checked[@]}") || rc=$?
  note "$rc" "pyright strict on the demo and the examples"

  echo "== pyright strict tests/typing/refused.py"
  rc=0
  out="$(cd "$outside" && "${pyright_strict[@]}" "$refused" 2>&1)" || rc=$?
  check_refusals "pyright strict refuses what the module refuses" "$rc" "$out" \
    'refused\.py:[0-9]+:[0-9]+ - error'
fi

echo "== type checks:"
printf '   %s\n' "${summary[@]}"
exit "$failed"
