#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DFERROVIN_BUILD_TESTS=OFF -DFERROVIN_BUILD_BENCH=OFF
cmake --build build/release
exec build/release/bin/ferrovin "$@"
