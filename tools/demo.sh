#!/usr/bin/env bash
# Builds the module when needed, in build-demo/ (Release, no test suites; build/ stays the
# developers' tree), and runs the demo script against it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build-demo/build.ninja ]]; then
  cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIV_BUILD_TESTS=OFF
fi
ninja -C build-demo -j3 qiv_protocol
python="${PYTHON:-/usr/bin/python3}"
PYTHONPATH="$(pwd)/build-demo/python" exec "$python" tools/demo.py
