#!/usr/bin/env bash
# Configures and builds into build/ (or build-asan/ with ZELFO_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

dir=build
opts=(-DCMAKE_BUILD_TYPE=Release)
if [ "${ZELFO_SANITIZE:-0}" = "1" ]; then
  dir=build-asan
  opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELFO_SANITIZE=ON)
fi
cmake -S . -B "$dir" "${opts[@]}" >/dev/null
cmake --build "$dir" -j2
