#!/usr/bin/env bash
# Builds everything and runs every test. ZELFO_SANITIZE=1 runs the suite on
# an AddressSanitizer and UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh

dir=build
if [ "${ZELFO_SANITIZE:-0}" = "1" ]; then
  dir=build-asan
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cd "$dir"
ctest --output-on-failure -j2 --timeout 300
