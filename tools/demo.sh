#!/usr/bin/env bash
# Installs what the demo needs when something is missing (apt-get; the [demo] group of
# tools/packages.txt), builds the module in build-demo/ (Release, self-contained, no test
# suites; build/ stays the developers' tree) and runs the demo script against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_packages.sh demo

log=build-demo/configure.log
mkdir -p build-demo
if ! cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQIV_BUILD_TESTS=OFF \
     -DQIV_SELF_CONTAINED=ON >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo.sh: configuring the build failed (log: $log)" >&2
  exit 1
fi
ninja -C build-demo -j3 qiv_protocol
python="${PYTHON:-/usr/bin/python3}"
PYTHONPATH="$(pwd)/build-demo/python" exec "$python" tools/demo.py
