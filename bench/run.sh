#!/usr/bin/env bash
# Builds the project in Release into build-bench/, runs the C++ benchmark programs and the
# Python benchmark, and prints one table with the goals; the last line is the same figures as
# one JSON object. Benchmarks measure and assert nothing; they are not part of the tests.
#
#   bash bench/run.sh                 # full run (a few minutes)
#   QIV_BENCH_QUICK=1 bash bench/run.sh   # short loops and a 200-item queue, for a smoke test
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build-bench
RESULTS="$BUILD/bench-results"

if [[ "${QIV_BENCH_QUICK:-0}" == 1 ]]; then
  CPP_MIN_TIME=0.05; CPP_REPS=1; PY_ARGS=(--target 0.02 --repeat 3 --queue-sizes 200)
else
  CPP_MIN_TIME=0.2; CPP_REPS=5; PY_ARGS=(--target 0.1 --repeat 5 --queue-sizes 1000,10000)
fi

mkdir -p "$BUILD"
echo "building into $BUILD/ (Release) ..." >&2
if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIV_BUILD_BENCH=ON &&
       ninja -C "$BUILD" -j3; } >"$BUILD/bench-build.log" 2>&1; then
  tail -40 "$BUILD/bench-build.log" >&2
  echo "build failed; full log in $BUILD/bench-build.log" >&2
  exit 1
fi

rm -rf "$RESULTS"
mkdir -p "$RESULTS"
for program in "$BUILD"/bench/bench_*; do
  [[ -x "$program" && -f "$program" ]] || continue
  name="$(basename "$program")"
  echo "running $name ..." >&2
  # A program that stops (a reader refusing its fixture, say) is reported; the rest still run.
  # Repetitions are interleaved and the report keeps the fastest of each, which damps the
  # load of other work on a shared machine.
  if ! "$program" --benchmark_min_time="$CPP_MIN_TIME" --benchmark_repetitions="$CPP_REPS" \
        --benchmark_enable_random_interleaving=true --benchmark_out="$RESULTS/$name.json" \
        --benchmark_out_format=json >"$RESULTS/$name.txt" 2>&1; then
    echo "$name exited with status $?: $(tail -1 "$RESULTS/$name.txt")" >"$RESULTS/$name.failed"
  fi
done

PY=/usr/bin/python3
if command -v pyenv >/dev/null 2>&1; then
  candidate="$(pyenv root)/versions/3.11.7/bin/python3"
  [[ -x "$candidate" ]] && PY="$candidate"
fi
echo "running py_bench.py on $PY ..." >&2
"$PY" bench/py_bench.py --module-dir "$BUILD/python" --work-dir "$BUILD" \
  --out "$RESULTS/python.json" "${PY_ARGS[@]}" 2>"$RESULTS/python.log" ||
  echo "py_bench.py failed: $(tail -1 "$RESULTS/python.log")" >&2

"$PY" bench/report.py --cpp-dir "$RESULTS" --py "$RESULTS/python.json" \
  --compiler "$(c++ --version | head -1)"
