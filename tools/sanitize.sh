#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer (g++) in
# build-asan/, runs every C++ test there and, when a Python suite exists, runs it against the
# sanitized extension module. Any sanitizer report fails the run, even from a test that passed.
#
#   tools/sanitize.sh            # configure, build, test
#   JOBS=2 tools/sanitize.sh     # fewer parallel compile jobs (default 3)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${root}/build-asan"
jobs="${JOBS:-3}"
python="${QIV_SANITIZE_PYTHON:-/usr/bin/python3}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Report lines that any of the sanitizers print; a test that catches an abort or a runtime
# that only warns must still fail the run.
report_pattern='ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer)'

fail() {
  echo "sanitize.sh: $*" >&2
  exit 1
}

check_log() {
  local log="$1" what="$2"
  if grep -Eq "${report_pattern}" "${log}"; then
    grep -En "${report_pattern}" "${log}" | head -20 >&2
    fail "${what}: sanitizer reports found (full log: ${log})"
  fi
}

cmake -S "${root}" -B "${build}" -G Ninja \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIV_SANITIZE=ON -DQIV_BUILD_TESTS=ON >/dev/null
ninja -C "${build}" -j"${jobs}"

# --- C++ suites -------------------------------------------------------------------------------
ctest_log="${build}/sanitize-ctest.log"
if ! ctest --test-dir "${build}" --output-on-failure -j"${jobs}" -V >"${ctest_log}" 2>&1; then
  tail -50 "${ctest_log}" >&2
  fail "ctest failed (full log: ${ctest_log})"
fi
check_log "${ctest_log}" "ctest"
echo "sanitize.sh: C++ tests clean: $(grep -E 'tests passed' "${ctest_log}" | tail -1)"

# --- Python suite -----------------------------------------------------------------------------
# The interpreter is not instrumented, so the g++ ASan runtime must be loaded before anything
# else. The suppressions file names only allocations made by the interpreter itself.
module_dir="${build}/python"
testkit_dir="${build}/python-testkit"  # test-only module driving the binding machinery
libasan="$(g++ -print-file-name=libasan.so)"
[[ -f "${libasan}" ]] || fail "libasan.so of g++ not found (got '${libasan}')"
# The interpreter does not link libstdc++, so when ASan starts it finds no __cxa_throw to
# forward its interceptor to, and the module's first C++ throw (a fault) aborts the process.
# Loading libstdc++ right after the runtime gives the interceptor its target.
libstdcxx="$(g++ -print-file-name=libstdc++.so.6)"
[[ -f "${libstdcxx}" ]] || fail "libstdc++.so.6 of g++ not found (got '${libstdcxx}')"
[[ -f "${module_dir}/qiv_protocol.abi3.so" ]] || fail "no sanitized module in ${module_dir}"
[[ -f "${testkit_dir}/_qiv_testkit.abi3.so" ]] || fail "no sanitized test module in ${testkit_dir}"

run_python() {
  # PYTHONMALLOC=malloc routes every object through malloc so that ASan sees object-level
  # overflows and LSan sees leaked objects, not just raw buffers. Both sanitized modules come
  # first on the path, so that the suite never picks up an unsanitized build from build/.
  # QIV_SANITIZED tells the suite that resident-memory figures are ASan's, not the module's.
  env LD_PRELOAD="${libasan} ${libstdcxx}" \
    ASAN_OPTIONS="${ASAN_OPTIONS}" UBSAN_OPTIONS="${UBSAN_OPTIONS}" \
    LSAN_OPTIONS="suppressions=${root}/tools/lsan.supp:print_suppressions=0" \
    PYTHONMALLOC=malloc QIV_SANITIZED=1 \
    PYTHONPATH="${module_dir}:${testkit_dir}${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "$@"
}

import_log="${build}/sanitize-import.log"
if ! run_python -c 'import qiv_protocol' >"${import_log}" 2>&1; then
  cat "${import_log}" >&2
  fail "importing the sanitized module failed"
fi
check_log "${import_log}" "python import"
echo "sanitize.sh: sanitized module imports cleanly under ${python}"

py_tests="${root}/tests/python"
if [[ -d "${py_tests}" ]] &&
   [[ -n "$(find "${py_tests}" \( -name 'test_*.py' -o -name '*_test.py' \) -print -quit)" ]]; then
  pytest_log="${build}/sanitize-pytest.log"
  # -p no:cacheprovider keeps the run from writing into the source tree; -rs lists skips.
  if ! run_python -m pytest -q -rs -p no:cacheprovider "${py_tests}" >"${pytest_log}" 2>&1; then
    tail -50 "${pytest_log}" >&2
    fail "Python suite failed (full log: ${pytest_log})"
  fi
  check_log "${pytest_log}" "pytest"
  # A test module that cannot import what it tests skips itself as a whole; here that means
  # the sanitized build is incomplete, and the suite would pass without testing it.
  if grep -E '^SKIPPED .*could not import' "${pytest_log}" >&2; then
    fail "test modules skipped for a missing import (full log: ${pytest_log})"
  fi
  grep -E '^SKIPPED ' "${pytest_log}" | sed 's/^/sanitize.sh: /' || true
  echo "sanitize.sh: Python suite clean: $(tail -1 "${pytest_log}")"
else
  echo "sanitize.sh: no Python tests under tests/python yet; import check only"
fi
echo "sanitize.sh: OK"
