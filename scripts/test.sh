#!/usr/bin/env bash
# Builds and runs every test: a normal build (GCC), checked against the style
# limits (scripts/check_style.sh), and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (Clang), both through CTest, then the
# Windows build (mingw-w64 cross-compiled, its tests run under wine) when the
# cross tools are there. Exits non-zero on any failure. Build trees go to
# build/test-*; set JOBS to change the parallelism (default: the number of
# cores); set TALLYMERE_SKIP_WINDOWS=1 to leave the Windows build out.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
if [[ "${TALLYMERE_SKIP_WINDOWS:-0}" != 1 ]]; then
  scripts/deps.sh --windows || echo "test.sh: the Windows cross tools or the libdeflate source could not be installed" >&2
fi
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

run_suite gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
# Formatting, file and function lengths, over the units that build compiled.
echo "=== style check ==="
scripts/check_style.sh build/test-gcc/compile_commands.json
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DTALLYMERE_SANITIZE=ON

# The Windows executable and its tests, run under wine in a prefix of the
# build's own; wine stays quiet and opens no window.
run_windows_suite() {
  local dir=build/test-windows
  local wine=/usr/lib/wine/wine64
  [[ -x $wine ]] || wine=$(command -v wine64 || true)
  if [[ "${TALLYMERE_SKIP_WINDOWS:-0}" == 1 ]]; then
    echo "=== windows build SKIPPED: TALLYMERE_SKIP_WINDOWS=1 ==="
    return 0
  fi
  if ! command -v x86_64-w64-mingw32-g++ >/dev/null || [[ -z $wine ]] ||
     [[ ! -f /usr/x86_64-w64-mingw32/include/zlib.h ]]; then
    echo "=== windows build SKIPPED: mingw-w64, its zlib or wine is missing (scripts/deps.sh --windows installs them) ==="
    return 0
  fi
  export WINEPREFIX=$PWD/$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  unset DISPLAY
  echo "=== windows build ==="
  # libdeflate, compiled from the source scripts/deps.sh --windows fetched,
  # as the Linux build links it: configuring fails when the source is
  # missing, rather than testing a zlib-only build in its place. The data
  # buffer tests run through both backends.
  cmake -S . -B "$dir" -G Ninja -DTALLYMERE_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTALLYMERE_INFLATE=libdeflate >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== windows tests (wine) ==="
  "$wine" wineboot -i >/dev/null 2>&1
  local status=0
  # A wine process start can fail now and then before the test runs; such a
  # test gets one more try (the program itself is deterministic).
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2 || status=$?
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true  # the server of this prefix only
  return $status
}

run_windows_suite

# The fuzz targets: every seed and saved crash reproducer replayed, then each
# target fuzzed for FUZZ_SECONDS (default 45) on one core.
scripts/fuzz.sh "${FUZZ_SECONDS:-45}"

echo "=== all test suites passed ==="
