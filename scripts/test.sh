#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Brimloft with its tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
cd build
ctest --output-on-failure -j "$(nproc)"
