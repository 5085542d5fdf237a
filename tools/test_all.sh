#!/usr/bin/env bash
# Installs what is missing (apt-get only), builds from scratch and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf build
cmake -S . -B build -G Ninja
ninja -C build
ctest --test-dir build --output-on-failure
