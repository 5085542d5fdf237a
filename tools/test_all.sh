#!/usr/bin/env bash
# Installs what is missing (apt-get only), builds from scratch and runs every test suite:
# the GoogleTest suites through ctest, then the Python suite under Debian's python3 and under
# every pyenv CPython from 3.10 to 3.13 that is present, then both again under ASan+UBSan
# (tools/sanitize.sh), then every fuzz target for 30 s (tools/fuzz.sh). Any failure, sanitizer
# report or fuzz finding fails the run; once ctest has passed every later step runs, and a
# summary with the fuzz figures ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

# --- packages ---------------------------------------------------------------------------
# pytest and its pure-Python dependencies; exceptiongroup and tomli are needed only by 3.10.
# clang-14 with its sanitizer and libFuzzer runtimes builds the fuzz targets; llvm-14 brings the
# symbolizer that turns their reports into file:line (g++'s libasan comes with g++).
# libcrypto++-dev gives the libraries Ed25519 and SHA-256; libssl-dev serves only the tests
# that check our arithmetic and hashing against OpenSSL.
packages=(cmake ninja-build g++ libcrypto++-dev libssl-dev libgtest-dev python3 python3-pytest
          python3-pluggy python3-iniconfig python3-packaging python3-attr python3-py
          python3-exceptiongroup python3-tomli clang-14 libclang-rt-14-dev llvm-14)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# pyenv's interpreters, when pyenv is installed (also when it is not on PATH).
pyenv_root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
pyenv_python() {  # pyenv_python <minor>: the newest 3.<minor> interpreter, or nothing
  local newest
  newest="$(printf '%s\n' "$pyenv_root"/versions/3."$1".*/bin/python3."$1" | sort -V | tail -n 1)"
  if [[ -x "$newest" ]]; then echo "$newest"; fi
}

# --- C++ build and unit tests -----------------------------------------------------------
rm -rf build
cmake_args=()
# The module is compiled against the oldest supported interpreter's headers.
py310="$(pyenv_python 10)"
[[ -n "$py310" ]] && cmake_args+=("-DPython_EXECUTABLE=$py310")
cmake -S . -B build -G Ninja "${cmake_args[@]}"
ninja -C build -j3
ctest --test-dir build --output-on-failure -j3

# --- Python suite on every interpreter --------------------------------------------------
module_dir="$root/build/python"
testkit_dir="$root/build/python-testkit"  # test-only module driving the binding machinery
[[ -f "$module_dir/qiv_protocol.abi3.so" ]] || { echo "module was not built"; exit 1; }
[[ -f "$testkit_dir/_qiv_testkit.abi3.so" ]] || { echo "test module was not built"; exit 1; }

# pyenv interpreters get Debian's pytest through a pip-less venv whose .pth file names a folder
# of symlinks to exactly pytest's packages (not the whole of dist-packages, whose compiled
# modules belong to Debian's own interpreter).
dist=/usr/lib/python3/dist-packages
shim="$root/build/pytest-site"
mkdir -p "$shim"
for entry in _pytest pytest py.py py pluggy iniconfig packaging attr attrs exceptiongroup tomli; do
  [[ -e "$dist/$entry" ]] && ln -sfn "$dist/$entry" "$shim/$entry"
done

interpreters=("/usr/bin/python3")
skipped=()
for minor in 10 11 12 13; do
  py="$(pyenv_python "$minor")"
  if [[ -n "$py" ]]; then interpreters+=("$py"); else skipped+=("3.$minor"); fi
done

summary=()
failed=0
for py in "${interpreters[@]}"; do
  version="$("$py" -c 'import platform; print(platform.python_version())')"
  if [[ "$py" == /usr/bin/python3 ]]; then
    runner=("$py")
    label="Debian python $version"
  else
    venv="$root/build/venv-$version"
    "$py" -m venv --without-pip "$venv"
    purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    echo "$shim" >"$purelib/qiv-debian-pytest.pth"
    runner=("$venv/bin/python")
    label="pyenv python $version"
  fi
  echo "== pytest on $label ($py)"
  rc=0
  # tests/python/pytest.ini filters the DeprecationWarnings of this pytest on 3.12+.
  PYTHONPATH="$module_dir:$testkit_dir" "${runner[@]}" -m pytest -q -p no:cacheprovider tests/python || rc=$?
  if ((rc == 0)); then
    summary+=("PASS  $label")
  elif ((rc == 5)); then
    summary+=("FAIL  $label (no test collected)")
    failed=1
  else
    summary+=("FAIL  $label (pytest exit $rc)")
    failed=1
  fi
done

# --- sanitizers and fuzzing --------------------------------------------------------------
# sanitize.sh: every C++ test and the Python suite against the ASan+UBSan build (build-asan/);
# fuzz.sh: each target 30 s on its seeds, four at once, with exec/s and executions per target.
extra=()
run_step() {  # run_step <label> <command...>
  local label="$1" start rc=0
  shift
  echo "== $label"
  start=$SECONDS
  "$@" || rc=$?
  if ((rc == 0)); then
    extra+=("PASS  $label ($((SECONDS - start)) s)")
  else
    extra+=("FAIL  $label (exit $rc after $((SECONDS - start)) s)")
    failed=1
  fi
}
run_step "sanitizers: tools/sanitize.sh" bash tools/sanitize.sh
run_step "fuzzing: tools/fuzz.sh 30" bash tools/fuzz.sh 30

echo
echo "== Python suites run:"
printf '   %s\n' "${summary[@]}"
if ((${#skipped[@]})); then echo "   (no pyenv interpreter for: ${skipped[*]})"; fi
echo "== Sanitizer and fuzz runs:"
printf '   %s\n' "${extra[@]}"
[[ -f build-fuzz/fuzz-summary.txt ]] && sed 's/^/   /' build-fuzz/fuzz-summary.txt
echo "== total $SECONDS s"
exit "$failed"
