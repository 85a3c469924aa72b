#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) into build-fuzz/
# and runs each for SECONDS (default 20) on its seed corpus.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Exit 0: clean; 1: a crash, a sanitizer report or a broken property (the
# input is kept in build-fuzz/crash-*); 3: clang or its fuzzer runtime could
# not be set up, nothing ran.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
have_runtime() { ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; }
if ! command -v clang++ >/dev/null 2>&1 || ! have_runtime; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q clang libclang-rt-14-dev >/dev/null 2>&1 || true
fi
if ! command -v clang++ >/dev/null 2>&1 || ! have_runtime; then
  echo "fuzz: clang with its fuzzer runtime is not available; nothing ran"
  exit 3
fi
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(command_line paths ini args http_request)

if ! CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELFO_FUZZ=ON \
    -DZELFO_TESTS=OFF >/dev/null; then
  echo "fuzz: the clang build could not be configured; nothing ran"
  exit 3
fi
cmake --build build-fuzz -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")
rm -f build-fuzz/crash-*

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  mkdir -p "$corpus"
  echo "== fuzz_$t for ${seconds}s"
  build-fuzz/tests/fuzz/fuzz_$t -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/crash-$t- "$corpus" tests/fuzz/$t 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
  # libFuzzer exits non-zero on a finding; the artifact tells.
  if ls build-fuzz/crash-$t-* >/dev/null 2>&1; then
    echo "fuzz_$t found a failing input: $(ls build-fuzz/crash-$t-*)"
    exit 1
  fi
done
