#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 in build-fuzz/ and runs each one for a while on a
# copy of its committed seed corpus, up to four at once. Any finding (crash, sanitizer report,
# broken property, timeout, memory blow-up) fails the run; the input that caused it is saved
# under build-fuzz/findings/. The table of exec/s and executions per target is also left in
# build-fuzz/fuzz-summary.txt.
#
#   tools/fuzz.sh                 # 30 s per target
#   tools/fuzz.sh 600             # ten minutes per target
#   FUZZ_TARGETS="timestamp" tools/fuzz.sh 60    # only the named targets
#   FUZZ_PARALLEL=2 JOBS=2 tools/fuzz.sh         # fewer targets at once / compile jobs
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${root}/build-fuzz"
seconds="${1:-30}"
jobs="${JOBS:-3}"
parallel="${FUZZ_PARALLEL:-4}"
(( parallel > 4 )) && parallel=4

if ! [[ "${seconds}" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/fuzz.sh [seconds per target]" >&2
  exit 2
fi

command -v clang++-14 >/dev/null ||
  { echo "fuzz.sh: clang++-14 not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
CC=clang-14 CXX=clang++-14 cmake -S "${root}" -B "${build}" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIV_FUZZ=ON -DQIV_BUILD_TESTS=OFF >/dev/null
ninja -C "${build}" -j"${jobs}" qiv_fuzzers

manifest="${build}/tests/fuzz/fuzz_targets.txt"
[[ -s "${manifest}" ]] || { echo "fuzz.sh: no targets listed in ${manifest}" >&2; exit 1; }

work="${build}/fuzz-work"
findings="${build}/findings"
mkdir -p "${work}" "${findings}"

# Stops the fuzzers this script started, when it is interrupted.
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "${pid}" 2>/dev/null || true; done; }
trap cleanup INT TERM

run_target() {
  local name="$1" exe="$2" seeds="$3" max_len="$4"
  local corpus="${work}/${name}/corpus"
  # A fresh copy each run: what libFuzzer adds stays out of the committed seeds.
  rm -rf "${work:?}/${name}" "${work}/${name}.rc"
  mkdir -p "${corpus}"
  cp -R "${seeds}/." "${corpus}/"
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "${exe}" -max_total_time="${seconds}" -max_len="${max_len}" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="${findings}/${name}-" \
      "${corpus}" >"${work}/${name}.log" 2>&1
}

names=()
declare -A status=()
while read -r name exe seeds max_len; do
  [[ -n "${name}" ]] || continue
  if [[ -n "${FUZZ_TARGETS:-}" ]] && [[ " ${FUZZ_TARGETS} " != *" ${name} "* ]]; then continue; fi
  names+=("${name}")
  while (( $(jobs -rp | wc -l) >= parallel )); do wait -n || true; done
  echo "fuzz.sh: ${name}: ${seconds} s, max_len ${max_len}, $(ls "${seeds}" | wc -l) seeds"
  ( rc=0; run_target "${name}" "${exe}" "${seeds}" "${max_len}" || rc=$?
    echo "${rc}" >"${work}/${name}.rc" ) &
  pids+=("$!")
done <"${manifest}"
wait

failed=0
summary="${build}/fuzz-summary.txt"
rm -f "${summary}"
echo
{
printf '%-16s %10s %14s %8s  %s\n' target "exec/s" executions corpus result
for name in "${names[@]}"; do
  log="${work}/${name}.log"
  rc="$(cat "${work}/${name}.rc" 2>/dev/null || echo missing)"
  units="$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -1)"
  done_line="$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "${log}" | tail -1 || true)"
  runs="$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1/' <<<"${done_line}")"
  secs="$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\2/' <<<"${done_line}")"
  total="${units:-${runs:-?}}"
  rate="?"
  if [[ -n "${runs}" && -n "${secs}" && "${secs}" -gt 0 ]]; then
    rate=$(( runs / secs ))
  else
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "${log}" | tail -1)"
    rate="${rate:-?}"
  fi
  entries="$(ls "${work}/${name}/corpus" | wc -l)"
  result="ok"
  if [[ "${rc}" != 0 ]]; then
    result="FAILED (exit ${rc}; log ${log})"
  fi
  printf '%-16s %10s %14s %8s  %s\n' "${name}" "${rate}" "${total}" "${entries}" "${result}"
done
} | tee "${summary}"
# The table ran in a pipeline's subshell: read the verdict back from it.
grep -q 'FAILED (exit' "${summary}" && failed=1

if (( failed )); then
  echo >&2
  for name in "${names[@]}"; do
    [[ "$(cat "${work}/${name}.rc" 2>/dev/null)" == 0 ]] && continue
    echo "---- ${name} ----" >&2
    # The property text and its detail line, the sanitizer's headline, the saved input.
    grep -E -A1 'fuzz property failed' "${work}/${name}.log" | head -4 >&2 || true
    grep -E 'ERROR: |runtime error:|SUMMARY:|Test unit written|Slowest unit' "${work}/${name}.log" \
      | head -8 >&2 || tail -30 "${work}/${name}.log" >&2
  done
  echo "fuzz.sh: findings saved in ${findings}/; replay one with" >&2
  echo "  build-fuzz/tests/fuzz/<name>_fuzz build-fuzz/findings/<name>-crash-<hash>" >&2
  exit 1
fi
echo "fuzz.sh: OK, no findings"
