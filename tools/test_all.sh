#!/usr/bin/env bash
# Installs what is missing (apt-get, tools/packages.txt), builds from scratch in build-ci/ (its
# Debian trees and node/, pyright's install, are kept) and runs every test, in this order:
#   1. the C++ build (warnings are errors, Python modules self-contained) and its GoogleTest
#      suites through ctest;
#   2. the README's offline Install roads as written, each in a fresh clone of the committed
#      tree: in one, a venv v of Debian's python3 whose pip builds the wheel with build
#      isolation and no index (setuptools and wheel from /usr/share/python-wheels), expected to
#      be exactly qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl, then
#      tools/check_wheel.py on it and the packaging tests; in another, the same venv's
#      `pip install .`, imported from / without Crypto++'s library, in a clone whose path holds
#      a space and a letter beyond ASCII, then `pip install -e .` there; in a third, the road with
#      network access, pip pointed at the same wheels by its environment; in a fourth, the README's
#      "Hacking" build, ctest and pytest commands; in a fifth, the release road, python3 -m build
#      (sdist, then the wheel from it), both checked by check-manifest and twine check --strict
#      and their metadata read, with the sdist checked against git ls-files
#      (tools/check_sdist.py), its wheel against the tree's wheel and tools/check_wheel.py, the
#      sdist's Python suite run on that wheel with Crypto++ unloadable, and the sdist installed
#      by pip into a plain venv; in a sixth, the wheel and sdist built with Debian 13's newer
#      setuptools (from the trixie tree of step 5), which must not warn and must write the
#      licence as License-Expression and License-File lines;
#   3. the wheel installed into a venv of Debian's python3 and of every pyenv CPython 3.10-3.13
#      present, and the whole Python suite run against each installed package from outside the
#      source tree, with Crypto++'s shared library made unloadable (tools/without_cryptopp.sh);
#      then the module built against pyenv 3.13's headers, which must need no undefined symbol
#      beyond the wheel's 3.10-header module, and the Python suite on 3.10 with it
#      (tools/headers_check.sh);
#   4. tools/typecheck.sh: stubtest, mypy --strict and pyright strict on the stubs, the demo
#      and the examples, and both checkers refusing what the module refuses;
#   5. the wheel on Debian 13 (tools/distro_check.sh), the demo on a bare Debian
#      (tools/bare_demo_check.sh), and the release's sdist built in a Debian 13 tree with its
#      build packages and no other CPython: its wheel's measured tag checked, the sdist
#      pip-installed, imported from / and the suite run there (tools/sdist_build_check.sh),
#      all in debootstrap trees under build-ci/;
#   6. the C++ and Python suites under ASan+UBSan (tools/sanitize.sh, build-asan/) and every
#      fuzz target for 30 s (tools/fuzz.sh, build-fuzz/).
# Any failure, sanitizer report or fuzz finding fails the run, and so does a suite that collects
# no test. Once step 1 has passed every later step runs; when it fails they are skipped. Either
# way a summary with each step's time (and the fuzz figures) ends the run. build/ (the
# developers' tree) is never touched; build-asan/ and build-fuzz/ are reused. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
ci="$root/build-ci"

bash tools/install_packages.sh demo tests

# A clean build-ci/, except the debootstrap trees (tools/debian_tree.sh makes them from nothing
# when they are missing, and keeps them only while they match what is asked for). Its remove
# refuses a folder with anything mounted in it: a removal through a chroot's /dev would empty
# the host's.
mkdir -p "$ci"
find "$ci" -mindepth 1 -maxdepth 1 ! -name trixie ! -name trixie-build ! -name node ! -name '*-base' -exec bash tools/debian_tree.sh remove {} +

# pyenv's interpreters, when pyenv is installed (also when it is not on PATH).
pyenv_root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
pyenv_python() {  # pyenv_python <minor>: the newest 3.<minor> interpreter, or nothing
  local newest
  newest="$(printf '%s\n' "$pyenv_root"/versions/3."$1".*/bin/python3."$1" | sort -V | tail -n 1)"
  if [[ -x "$newest" ]]; then echo "$newest"; fi
}

summary=()
failed=0
record() {  # record <rc> <label> <seconds>: one summary line; any rc but 0 fails the run
  if (($1 == 0)); then
    summary+=("PASS  $2 ($3 s)")
  elif (($1 == 5)); then  # pytest: nothing collected
    summary+=("FAIL  $2 (no test collected, $3 s)")
    failed=1
  else
    summary+=("FAIL  $2 (exit $1 after $3 s)")
    failed=1
  fi
}
step() {  # step <label> <command...>: runs it, records the verdict and the time
  local label="$1" start=$SECONDS rc
  shift
  echo "== $label"
  # In a subshell with errexit on: a function called as "f || rc=$?" would run with errexit
  # ignored, and a failing command inside it would not stop it.
  set +e
  (set -e; "$@")
  rc=$?
  set -e
  record "$rc" "$label" "$((SECONDS - start))"
}

finish() {  # prints the summary and ends the run
  echo
  echo "== Summary:"
  printf '   %s\n' "${summary[@]}"
  if ((${#skipped[@]})); then echo "   (no pyenv interpreter for: ${skipped[*]})"; fi
  [[ -f build-fuzz/fuzz-summary.txt ]] && sed 's/^/   /' build-fuzz/fuzz-summary.txt
  echo "== total $SECONDS s"
  exit "$failed"
}
skipped=()
# build-fuzz/ is kept between runs: only this run's fuzz step may leave figures in the summary.
rm -f build-fuzz/fuzz-summary.txt

# --- 1. C++ build and unit tests ---------------------------------------------------------
testkit_dir="$ci/cmake/python-testkit"  # test-only modules driving the binding machinery
cpp_build() {
  local cmake_args=(-DQIV_WERROR=ON -DQIV_SELF_CONTAINED=ON) py310
  # The module is compiled against the oldest supported interpreter's headers.
  py310="$(pyenv_python 10)"
  [[ -n "$py310" ]] && cmake_args+=("-DPython_EXECUTABLE=$py310")
  cmake -S . -B "$ci/cmake" -G Ninja "${cmake_args[@]}"
  ninja -C "$ci/cmake" -j3
  ctest --test-dir "$ci/cmake" --output-on-failure --no-tests=error -j3
  [[ -f "$testkit_dir/_qiv_testkit.abi3.so" ]] || { echo "test module was not built"; return 1; }
}
step "C++ build (-DQIV_WERROR=ON -DQIV_SELF_CONTAINED=ON) and ctest" cpp_build
if ((failed)); then
  summary+=("SKIP  every later step: the C++ build or its tests failed")
  finish
fi

outside="$(mktemp -d)"  # the suites run from here, away from the source tree
trap 'rm -rf "$outside"' EXIT
debian=/usr/bin/python3
wheels_dir=/usr/share/python-wheels  # Debian's setuptools and wheel, for isolated builds
offline=(-q --no-index --no-deps --no-cache-dir)  # pip: nothing fetched, nothing cached

# --- 2. the README's Install roads, each in a fresh clone of HEAD --------------------------
# A clone holds what is committed and nothing of the build folders made above. The offline
# roads, as the README writes them: Debian's python3 makes the venv v, whose pip builds with
# Debian's setuptools and wheel from /usr/share/python-wheels in an isolated environment.
wheel_name=qiv_protocol-0.1.0-cp310-abi3-manylinux_2_34_x86_64.whl
wheel_clone="$ci/clone-wheel"
dist="$wheel_clone/dist"
build_wheel() {
  git clone -q "$root" "$wheel_clone"
  cd "$wheel_clone"
  QIV_BUILD_JOBS=3 bash -c '/usr/bin/python3 -m venv v &&
    v/bin/pip wheel --no-index --find-links /usr/share/python-wheels --no-deps -w dist .'
  local wheels=(dist/*.whl)
  if [[ "${wheels[*]}" != "dist/$wheel_name" ]]; then
    echo "expected exactly $wheel_name, got: ${wheels[*]}"
    return 1
  fi
  local cache=build/wheel/cmake/CMakeCache.txt headers_python headers_version
  headers_python="$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$cache")"
  headers_version="$("$headers_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  echo "   $(du -k "dist/$wheel_name" | cut -f1) KB, module compiled against the" \
       "$headers_version headers"
  # The shipped wheel is compiled against the oldest headers present: pyenv's 3.10, else Debian's.
  local oldest=3.10
  [[ -n "$(pyenv_python 10)" ]] || oldest="$("$debian" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  [[ "$headers_version" == "$oldest" ]] || { echo "wrong headers: expected $oldest's"; return 1; }
}
step "wheel: v/bin/pip wheel --no-index --find-links $wheels_dir --no-deps -w dist . (fresh clone)" \
  build_wheel
wheel="$dist/$wheel_name"
[[ -f "$wheel" ]] || wheel=""
if [[ -n "$wheel" ]]; then
  step "wheel policy: /usr/bin/python3 tools/check_wheel.py dist/$wheel_name" \
    bash -c 'cd "$1" && exec /usr/bin/python3 tools/check_wheel.py "dist/$2"' _ \
    "$wheel_clone" "$wheel_name"
fi
# The packaging tests build from the clone too, so that nothing lands in build/ here; they
# check the built wheel as well (QIV_WHEEL).
step "packaging: tests/packaging" \
  bash -c 'cd "$1" && QIV_WHEEL="$4" exec "$2" -m pytest -q -p no:cacheprovider "$3/tests/packaging"' \
  _ "$outside" "$debian" "$wheel_clone" "$wheel"

# install_road <clone> <road> [VAR=value...]: the road (a shell text, as the README writes it)
# in a fresh clone, with the given environment; then the venv v it made must import the module
# from / (with Crypto++'s shared library unloadable, since the module carries its own).
install_road() {
  local clone="$1" road="$2"
  shift 2
  git clone -q "$root" "$clone"
  cd "$clone"
  env QIV_BUILD_JOBS=3 "$@" bash -c "$road"
  # shellcheck disable=SC2016
  (cd / && bash "$root/tools/without_cryptopp.sh" "$clone/v/bin/python" -c \
     'import qiv_protocol, sys; assert sys.argv[1] in qiv_protocol.__file__, qiv_protocol.__file__
print("   imported", qiv_protocol.__file__)' "$clone/v/")
}
offline_road='/usr/bin/python3 -m venv v && v/bin/pip install --no-index --find-links /usr/share/python-wheels .'
# This road runs in a clone whose path holds a space and a letter beyond ASCII, as a user's
# "My Projects" may: every path must reach the compiler as one word, and none of it may stay in
# the module (fault reports name files relative to the tree). Then `pip install -e .` there,
# which reuses that build, must import the module from beside the sources.
spaced_clone="$ci/with space/qïv"
spaced_install() {
  mkdir -p "$(dirname "$spaced_clone")"
  install_road "$spaced_clone" "$offline_road"
  local module=build/wheel/cmake/python/qiv_protocol.abi3.so
  if LC_ALL=C grep -q -a -F "$spaced_clone" "$module"; then
    echo "$module holds the path of its source tree"
    return 1
  fi
  LC_ALL=C grep -q -a -F bindings/python/src/ "$module" ||
    { echo "$module names no source file relative to the tree"; return 1; }
  QIV_BUILD_JOBS=3 v/bin/pip install -q --no-index --find-links "$wheels_dir" -e .
  # shellcheck disable=SC2016
  (cd / && "$spaced_clone/v/bin/python" -c \
     'import qiv_protocol, sys; assert qiv_protocol.__file__ == sys.argv[1], qiv_protocol.__file__
print("   editable:", qiv_protocol.__file__)' "$spaced_clone/qiv_protocol.abi3.so")
}
step "install: $offline_road, then v/bin/pip install ... -e . (fresh clone in \"build-ci/with space/qïv\")" \
  spaced_install
# The road with network access, as written: here pip's own environment points it at Debian's
# wheels instead of an index, and Debian's python3 comes first on PATH (the README says why the
# offline road needs it).
network_road='python3 -m venv v
v/bin/pip install .'
step "install: python3 -m venv v; v/bin/pip install . (fresh clone, pip pointed at $wheels_dir)" \
  install_road "$ci/clone-network" "$network_road" \
  PATH=/usr/bin:/bin PIP_NO_INDEX=1 PIP_FIND_LINKS=/usr/share/python-wheels

# The README's "Hacking" build and its Python suite, as written, in a fresh clone (they make
# build/ there); held to three CPUs like the other builds here.
hacking_clone="$ci/clone-hacking"
hacking() {
  git clone -q "$root" "$hacking_clone"
  cd "$hacking_clone"
  local log="$ci/hacking.log" cpus=$(($(nproc) < 3 ? $(nproc) : 3))
  if ! taskset -c "0-$((cpus - 1))" bash -c \
       'cmake -S . -B build -G Ninja && ninja -C build && ctest --test-dir build --no-tests=error' \
       >"$log" 2>&1; then
    tail -40 "$log"
    echo "the Hacking build failed (log: $log)"
    return 1
  fi
  grep -E 'tests passed|tests failed' "$log"
  pytest tests/python
}
step "README Hacking: cmake -S . -B build -G Ninja && ninja -C build && ctest ...; pytest tests/python (fresh clone)" \
  hacking

# The release as Python projects make it: python3 -m build, isolated and offline (pip pointed at
# Debian's wheels), makes the sdist and then the wheel from the unpacked sdist alone. The sdist
# holds exactly what git tracks; its wheel holds the same files as the tree's wheel above, keeps
# its tag's promise and passes the sdist's own Python suite, Crypto++ unloadable.
sdist_name=qiv_protocol-0.1.0.tar.gz
release_clone="$ci/clone-release"
release="$release_clone/dist"
quiet_log() {  # quiet_log <log> <command...>: output into the log, its tail shown on failure
  local log="$1"
  shift
  "$@" >"$log" 2>&1 || { tail -40 "$log"; echo "failed: $* (log: $log)"; return 1; }
}
build_release() {
  git clone -q "$root" "$release_clone"
  cd "$release_clone"
  quiet_log "$ci/release.log" env QIV_BUILD_JOBS=3 PIP_NO_INDEX=1 PIP_FIND_LINKS="$wheels_dir" \
    /usr/bin/python3 -m build -o dist .
  local built
  built="$(cd dist && echo *)"
  if [[ "$built" != "$wheel_name $sdist_name" ]]; then
    echo "expected $sdist_name and $wheel_name, got: $built"
    return 1
  fi
}
step "release: PIP_NO_INDEX=1 PIP_FIND_LINKS=$wheels_dir /usr/bin/python3 -m build -o dist . (fresh clone)" \
  build_release
# What a packager checks of a release, offline: check-manifest finds the sdist and git in
# agreement; twine check --strict finds both files' metadata complete and README.md, the long
# description, rendering as an index would show it. Their metadata carries README.md as
# markdown, the CPython classifier, and the licence of what the wheel carries, which Debian 12's
# setuptools writes in the License field (new_setuptools below checks the newer form).
release_metadata() {
  cd "$release_clone"
  check-manifest --no-build-isolation
  twine check --strict dist/*
  "$debian" tools/check_metadata.py "dist/$wheel_name" "dist/$sdist_name" License
}
step "release: check-manifest --no-build-isolation; twine check --strict dist/*; the metadata" \
  release_metadata
step "sdist: tools/check_sdist.py dist/$sdist_name (against git ls-files)" \
  bash -c 'cd "$1" && exec /usr/bin/python3 tools/check_sdist.py "dist/$2"' _ \
  "$release_clone" "$sdist_name"
sdist_wheel() {
  [[ -n "$wheel" ]] || { echo "no wheel of the tree to compare with"; return 1; }
  "$debian" - "$release/$wheel_name" "$wheel" <<'EOF'
import sys, zipfile
ours, tree = (set(zipfile.ZipFile(path).namelist()) for path in sys.argv[1:])
if ours != tree:
    sys.exit(f"only in the sdist's wheel: {sorted(ours - tree)}; "
             f"only in the tree's: {sorted(tree - ours)}")
print(f"   the same {len(ours)} files as the tree's wheel")
EOF
  "$debian" tools/check_wheel.py "$release/$wheel_name"
}
step "wheel from the sdist: the files of the tree's wheel; tools/check_wheel.py" sdist_wheel
# The suite as a distribution would run it: the unpacked sdist's own tests, on Debian's python3.
sdist_suite() {
  local src="$ci/sdist-src" venv="$ci/venv-sdist"
  mkdir -p "$src"
  tar -xzf "$release/$sdist_name" -C "$src" --strip-components=1
  "$debian" -m venv --system-site-packages --without-pip "$venv"
  "$debian" -m pip --python "$venv/bin/python" install "${offline[@]}" "$release/$wheel_name"
  cd "$outside"
  QIV_TEST_INSTALLED=1 PYTHONPATH="$testkit_dir" bash "$root/tools/without_cryptopp.sh" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$src/tests/python"
}
step "wheel from the sdist: the sdist's Python suite on Debian python, Crypto++ unloadable" \
  sdist_suite
sdist_road="/usr/bin/python3 -m venv v && v/bin/pip install --no-index --find-links $wheels_dir $release/$sdist_name"
# Without pip's cache, which would keep the wheel built from an sdist of this path for the next run.
step "install: ${sdist_road/$release/dist} (fresh clone)" \
  install_road "$ci/clone-sdist" "$sdist_road" PIP_NO_CACHE_DIR=1

# What users with network access build with: the newest setuptools, here Debian 13's (from the
# trixie tree of distro_check.sh, made once) beside Debian 12's wheel. Its wheel build and its
# sdist must print no warning of the build back end, and give the licence as an SPDX expression
# and each licence file by name.
new_setuptools() {
  bash tools/debian_tree.sh make trixie "$ci/trixie" python3,python3-venv,python3-pytest
  local links="$ci/wheels-trixie" clone="$ci/clone-setuptools" log="$ci/setuptools"
  mkdir -p "$links"
  cp "$ci"/trixie/usr/share/python-wheels/setuptools-*.whl "$wheels_dir"/wheel-*.whl "$links/"
  echo "   $(cd "$links" && echo *)"
  git clone -q "$root" "$clone"
  cd "$clone"
  /usr/bin/python3 -m venv v
  # PYTHONDONTWRITEBYTECODE, when the environment sets it, has distutils warn that it does not
  # byte-compile: a warning of this machine, not of the project.
  quiet_log "$log-wheel.log" env -u PYTHONDONTWRITEBYTECODE QIV_BUILD_JOBS=3 \
    v/bin/pip wheel -v --no-index --find-links "$links" --no-deps -w dist .
  quiet_log "$log-sdist.log" env -u PYTHONDONTWRITEBYTECODE PIP_NO_INDEX=1 PIP_FIND_LINKS="$links" \
    /usr/bin/python3 -m build --sdist -o dist .
  if grep -n -i 'warning' "$log-wheel.log" "$log-sdist.log"; then
    echo "the build back end warned"
    return 1
  fi
  "$debian" tools/check_wheel.py "dist/$wheel_name"
  "$debian" tools/check_metadata.py "dist/$wheel_name" "dist/$sdist_name" License-Expression
}
step "setuptools of Debian 13: v/bin/pip wheel -v ... and python3 -m build --sdist (fresh clone), no warning, SPDX licence" \
  new_setuptools

# --- 3. the wheel installed on every interpreter, Crypto++ unloadable ----------------------
# pyenv interpreters get Debian's pytest through a pip-less venv whose .pth file names a folder
# of symlinks to exactly pytest's packages (not the whole of dist-packages, whose compiled
# modules belong to Debian's own interpreter). Debian's venv sees its own packages (pytest,
# mypy). Each venv gets the wheel from its interpreter's own pip: pyenv's interpreters cannot
# use Debian's setuptools, so they install the wheel that Debian's python built.
dist_packages=/usr/lib/python3/dist-packages
shim="$ci/pytest-site"
mkdir -p "$shim"
for entry in _pytest pytest py.py py pluggy iniconfig packaging attr attrs exceptiongroup tomli; do
  [[ -e "$dist_packages/$entry" ]] && ln -sfn "$dist_packages/$entry" "$shim/$entry"
done

interpreters=("$debian")
for minor in 10 11 12 13; do
  py="$(pyenv_python "$minor")"
  if [[ -n "$py" ]]; then interpreters+=("$py"); else skipped+=("3.$minor"); fi
done

suite_on() {  # suite_on <interpreter> <venv>
  local py="$1" venv="$2" purelib
  if [[ "$py" == "$debian" ]]; then
    "$py" -m venv --system-site-packages --without-pip "$venv"
  else
    "$py" -m venv --without-pip "$venv"
    purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    echo "$shim" >"$purelib/qiv-debian-pytest.pth"
  fi
  [[ -n "$wheel" ]] || { echo "no wheel was built"; return 1; }
  "$py" -m pip --python "$venv/bin/python" install "${offline[@]}" "$wheel"
  # One namespace for the import check and the suite, with its forked children and helper
  # processes; tests/python/pytest.ini filters the DeprecationWarnings of this pytest on 3.12+.
  (cd "$outside" && QIV_TEST_INSTALLED=1 PYTHONPATH="$testkit_dir" \
     bash "$root/tools/without_cryptopp.sh" bash -c \
       '(cd / && "$1" -c "import qiv_protocol; print(\"   imported\", qiv_protocol.__file__)") &&
        exec "$1" -m pytest -q -p no:cacheprovider "$2"' _ "$venv/bin/python" "$root/tests/python")
}
for py in "${interpreters[@]}"; do
  version="$("$py" -c 'import platform; print(platform.python_version())')"
  if [[ "$py" == "$debian" ]]; then
    venv="$ci/venv-debian"
    label="Debian python $version"
  else
    venv="$ci/venv-$version"
    label="pyenv python $version"
  fi
  step "$label: installed wheel, Python suite, Crypto++ unloadable" suite_on "$py" "$venv"
done

# The module compiled against the headers of the newest CPython that pyenv has, as a system
# whose only CPython is new compiles it: it must ask the loader for no symbol that the shipped
# wheel's 3.10-header module does not, and pass the Python suite on 3.10 (tools/headers_check.sh).
py310="$(pyenv_python 10)"
py313="$(pyenv_python 13)"
headers_dir="$ci/cmake-headers-3.13"
headers_313() {
  [[ -n "$wheel" ]] || { echo "no wheel to compare with"; return 1; }
  QIV_BUILD_JOBS=3 bash tools/headers_check.sh build "$py313" "$headers_dir"
  bash tools/headers_check.sh symbols "$headers_dir/python/qiv_protocol.abi3.so" "$wheel"
}
headers_313_suite() {
  local venv="$ci/venv-headers-3.13" purelib
  "$py310" -m venv --without-pip "$venv"
  purelib="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
  echo "$shim" >"$purelib/qiv-debian-pytest.pth"
  bash tools/without_cryptopp.sh bash tools/headers_check.sh suite "$venv/bin/python" \
    "$headers_dir/python" "$testkit_dir"
}
if [[ -n "$py310" && -n "$py313" ]]; then
  step "headers of CPython 3.13: the module built, no undefined symbol beyond the shipped wheel's (tools/headers_check.sh)" \
    headers_313
  step "pyenv python 3.10: the module built against 3.13's headers, Python suite, Crypto++ unloadable" \
    headers_313_suite
else
  skipped+=("3.10 and 3.13 (the newer-headers build)")
fi

# --- 4. the stubs ------------------------------------------------------------------------
# stubtest, mypy --strict and pyright strict on the demo and the examples, and both checkers
# refusing every marked line of tests/typing/refused.py; pyright is kept in build-ci/node.
step "type checks: bash tools/typecheck.sh build-ci/venv-debian/bin/python" \
  env QIV_PYRIGHT_DIR="$ci/node" bash tools/typecheck.sh "$ci/venv-debian/bin/python"

# --- 5. other machines --------------------------------------------------------------------
if [[ -n "$wheel" ]]; then
  step "Debian 13: the wheel and the Python suite (tools/distro_check.sh)" \
    bash tools/distro_check.sh "$wheel" "$testkit_dir"
else
  record 1 "Debian 13: no wheel to check" 0
fi
step "bare Debian: bash tools/demo.sh (tools/bare_demo_check.sh)" bash tools/bare_demo_check.sh
# The README's offline road on a new copy of that bare tree, after its apt-get line alone.
step "bare Debian: the README's apt-get line and offline road (tools/bare_install_check.sh)" \
  bash tools/bare_install_check.sh
# A source build where the only CPython is 3.13: the sdist of the release step, in a Debian 13
# tree with its build packages (made once and kept in build-ci/trixie-build).
if [[ -f "$release/$sdist_name" ]]; then
  step "Debian 13 build tree: the sdist's wheel (its tag checked) and pip install with python 3.13, Python suite (tools/sdist_build_check.sh)" \
    env QIV_BUILD_JOBS=3 bash tools/sdist_build_check.sh "$release/$sdist_name" "$testkit_dir"
else
  record 1 "Debian 13 build tree: no sdist to build" 0
fi

# --- 6. sanitizers and fuzzing -----------------------------------------------------------
# sanitize.sh: every C++ test and the Python suite against the ASan+UBSan build (build-asan/);
# fuzz.sh: each target 30 s on its seeds, four at once, with exec/s and executions per target.
step "sanitizers: tools/sanitize.sh" bash tools/sanitize.sh
step "fuzzing: tools/fuzz.sh 30" bash tools/fuzz.sh 30

finish
