#!/usr/bin/env bash
# Installs what is missing (apt-get only), builds from scratch and runs every test suite:
# the GoogleTest suites through ctest; then the wheel (pip wheel), installed into a venv of
# Debian's python3 and of every pyenv CPython from 3.10 to 3.13 that is present, with the
# Python suite run against each installed package from outside the source tree; a source
# install (pip install .), stubtest and mypy --strict on the stubs; then the C++ and Python
# suites again under ASan+UBSan (tools/sanitize.sh), then every fuzz target for 30 s
# (tools/fuzz.sh). Any failure, sanitizer report or fuzz finding fails the run; once ctest has
# passed every later step runs, and a summary with the fuzz figures ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

# --- packages ---------------------------------------------------------------------------
# pytest and its pure-Python dependencies; exceptiongroup and tomli are needed only by 3.10.
# clang-14 with its sanitizer and libFuzzer runtimes builds the fuzz targets; llvm-14 brings the
# symbolizer that turns their reports into file:line (g++'s libasan comes with g++).
# libcrypto++-dev gives the libraries Ed25519 and SHA-256; libssl-dev serves only the tests
# that check our arithmetic and hashing against OpenSSL. setuptools, wheel, pip and venv build
# and install the wheel offline; mypy runs stubtest and the strict type checks.
packages=(cmake ninja-build g++ libcrypto++-dev libssl-dev libgtest-dev python3 python3-pytest
          python3-pluggy python3-iniconfig python3-packaging python3-attr python3-py
          python3-exceptiongroup python3-tomli clang-14 libclang-rt-14-dev llvm-14
          python3-setuptools python3-wheel python3-pip python3-venv python3-mypy)
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

# --- wheel, installed on every interpreter -----------------------------------------------
testkit_dir="$root/build/python-testkit"  # test-only modules driving the binding machinery
[[ -f "$testkit_dir/_qiv_testkit.abi3.so" ]] || { echo "test module was not built"; exit 1; }

summary=()
failed=0
note() {  # note <rc> <label>: one summary line; any rc but 0 fails the run (5: nothing ran)
  if (($1 == 0)); then
    summary+=("PASS  $2")
  elif (($1 == 5)); then
    summary+=("FAIL  $2 (no test collected)")
    failed=1
  else
    summary+=("FAIL  $2 (exit $1)")
    failed=1
  fi
}

debian=/usr/bin/python3
offline=(-q --no-index --no-deps --no-cache-dir)  # pip: nothing fetched, nothing cached
wheel_name=qiv_protocol-0.1.0-cp310-abi3-linux_x86_64.whl
dist="$root/build/dist"
echo "== wheel: pip wheel --no-build-isolation --no-deps ."
QIV_BUILD_JOBS=3 "$debian" -m pip wheel "${offline[@]}" --no-build-isolation -w "$dist" .
wheels=("$dist"/*.whl)
if [[ "${wheels[*]}" != "$dist/$wheel_name" ]]; then
  echo "expected exactly $wheel_name, got: ${wheels[*]}"
  exit 1
fi
wheel="$dist/$wheel_name"
headers_python="$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' build/wheel/cmake/CMakeCache.txt)"
headers_version="$("$headers_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
echo "   $(du -k "$wheel" | cut -f1) KB, module compiled against the $headers_version headers"
[[ "$headers_version" == 3.10 || "$headers_version" == 3.11 ]] || { echo "wrong headers"; exit 1; }

# pyenv interpreters get Debian's pytest through a pip-less venv whose .pth file names a folder
# of symlinks to exactly pytest's packages (not the whole of dist-packages, whose compiled
# modules belong to Debian's own interpreter). Debian's venv sees its own packages (pytest,
# mypy). Each venv gets the wheel from its interpreter's own pip.
dist_packages=/usr/lib/python3/dist-packages
shim="$root/build/pytest-site"
mkdir -p "$shim"
for entry in _pytest pytest py.py py pluggy iniconfig packaging attr attrs exceptiongroup tomli; do
  [[ -e "$dist_packages/$entry" ]] && ln -sfn "$dist_packages/$entry" "$shim/$entry"
done

interpreters=("$debian")
skipped=()
for minor in 10 11 12 13; do
  py="$(pyenv_python "$minor")"
  if [[ -n "$py" ]]; then interpreters+=("$py"); else skipped+=("3.$minor"); fi
done

outside="$(mktemp -d)"  # the suite runs from here, away from the source tree
trap 'rm -rf "$outside"' EXIT
for py in "${interpreters[@]}"; do
  version="$("$py" -c 'import platform; print(platform.python_version())')"
  if [[ "$py" == "$debian" ]]; then
    venv="$root/build/venv-debian"
    "$py" -m venv --system-site-packages --without-pip "$venv"
    label="Debian python $version"
  else
    venv="$root/build/venv-$version"
    "$py" -m venv --without-pip "$venv"
    purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    echo "$shim" >"$purelib/qiv-debian-pytest.pth"
    label="pyenv python $version"
  fi
  echo "== $label: install the wheel, import from /, pytest from $outside"
  rc=0
  "$py" -m pip --python "$venv/bin/python" install "${offline[@]}" "$wheel" || rc=$?
  ((rc == 0)) && { (cd / && "$venv/bin/python" -c \
      'import qiv_protocol; print("   imported", qiv_protocol.__file__)') || rc=$?; }
  # tests/python/pytest.ini filters the DeprecationWarnings of this pytest on 3.12+.
  ((rc == 0)) && { (cd "$outside" && QIV_TEST_INSTALLED=1 PYTHONPATH="$testkit_dir" \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python") || rc=$?; }
  note "$rc" "$label: installed wheel, Python suite"
done

# A source install into a fresh venv, the packaging errors, and the stubs, with Debian's python
# (the one interpreter here whose pip has setuptools, wheel and mypy at hand).
venv="$root/build/venv-source"
echo "== pip install --no-build-isolation . into $venv"
rc=0
"$debian" -m venv --system-site-packages --without-pip "$venv"
QIV_BUILD_JOBS=3 "$debian" -m pip --python "$venv/bin/python" install "${offline[@]}" \
  --no-build-isolation . || rc=$?
((rc == 0)) && { (cd / && "$venv/bin/python" -c \
    'import qiv_protocol; assert "venv-source" in qiv_protocol.__file__') || rc=$?; }
note "$rc" "pip install --no-build-isolation . (Debian python)"

echo "== packaging errors: tests/packaging"
rc=0
(cd "$outside" && "$debian" -m pytest -q -p no:cacheprovider "$root/tests/packaging") || rc=$?
note "$rc" "packaging errors: tests/packaging"

typed="$root/build/venv-debian/bin/python"
mypy_cache="$root/build/mypy-cache"
echo "== stubtest qiv_protocol"
rc=0
(cd "$outside" && "$typed" -m mypy.stubtest qiv_protocol) || rc=$?
note "$rc" "stubtest against the installed wheel"
echo "== mypy --strict tools/demo.py examples/*.py"
rc=0
mypy_strict=("$typed" -m mypy --strict --cache-dir "$mypy_cache")
(cd "$outside" && "${mypy_strict[@]}" "$root/tools/demo.py" "$root"/examples/*.py) || rc=$?
note "$rc" "mypy --strict on the demo and the examples"
# The stubs must type, not merely exist: a str getter assigned to an int must be refused.
echo 'from qiv_protocol import ProtocolAddress
n: int = ProtocolAddress.parse("tvq://body/t/r").ref' >"$outside/wrong_type.py"
rc=0
mypy_out="$(cd "$outside" && "${mypy_strict[@]}" wrong_type.py 2>&1)" || rc=$?
refusal='Incompatible types in assignment (expression has type "str", variable has type "int")'
if ((rc == 1)) && grep -qF "$refusal" <<<"$mypy_out"; then
  note 0 "mypy --strict refuses a str getter read as int"
else
  echo "$mypy_out"
  note 1 "mypy --strict refuses a str getter read as int"
fi

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
echo "== Python suites and packaging checks:"
printf '   %s\n' "${summary[@]}"
if ((${#skipped[@]})); then echo "   (no pyenv interpreter for: ${skipped[*]})"; fi
echo "== Sanitizer and fuzz runs:"
printf '   %s\n' "${extra[@]}"
[[ -f build-fuzz/fuzz-summary.txt ]] && sed 's/^/   /' build-fuzz/fuzz-summary.txt
echo "== total $SECONDS s"
exit "$failed"
