#!/usr/bin/env bash
# Builds the module when needed and runs the demo script against it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ! -f build/build.ninja ]]; then
  cmake -S . -B build -G Ninja -DQIV_BUILD_TESTS=OFF
fi
ninja -C build -j3 qiv_protocol
python="${PYTHON:-/usr/bin/python3}"
PYTHONPATH="$(pwd)/build/python" exec "$python" tools/demo.py
