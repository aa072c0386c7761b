#!/usr/bin/env bash
# Builds and runs every test: a normal build (GCC) and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (Clang), both through CTest. Exits non-zero
# on any failure. Build trees go to build/test-*; set JOBS to change the
# parallelism (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs=${JOBS:-$(nproc)}

run_suite() {
  local name=$1; shift
  local dir=build/test-$name
  echo "=== $name build ==="
  cmake -S . -B "$dir" -G Ninja -DTALLYMERE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests ==="
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

run_suite gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DTALLYMERE_SANITIZE=ON

echo "=== all test suites passed ==="
