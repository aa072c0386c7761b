#!/usr/bin/env bash
# Builds the packages of a Release build and checks each as a user gets it
# (tests/package_check.sh):
#   build/package-linux/tallymere_<version>_<arch>.deb   the Debian package:
#       /usr/bin/tallymere, its man page and the README
#   build/package-windows/tallymere-<version>-win64.zip  tallymere.exe and the
#       README, cross-built with mingw-w64, only when its tools are installed
#       (scripts/deps.sh --windows installs them, and fetches the libdeflate
#       source the Windows build compiles; without it that build uses zlib)
# Set JOBS to change the parallelism (default: the number of cores); set
# TALLYMERE_SKIP_WINDOWS=1 to leave the Windows package out.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs=${JOBS:-$(nproc)}
made=()

# build_package DIR GENERATOR TARGETS [CMAKE-OPTION...]: the check runs the
# Linux program over a repository that repgen writes.
build_package() {
  local dir=$1 generator=$2 targets=$3
  shift 3
  echo "=== $generator package in $dir ===" >&2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target $targets >&2
  rm -f "$dir"/tallymere*.deb "$dir"/tallymere*.zip
  (cd "$dir" && cpack -G "$generator" >/dev/null)
  bash tests/package_check.sh cpack "$dir" "$generator" >&2
  made+=("$dir"/tallymere*."${generator,,}")
}

build_package build/package-linux DEB "tallymere repgen"

if [[ "${TALLYMERE_SKIP_WINDOWS:-0}" == 1 ]]; then
  echo "=== windows package SKIPPED: TALLYMERE_SKIP_WINDOWS=1 ===" >&2
elif ! command -v x86_64-w64-mingw32-g++ >/dev/null || [[ ! -f /usr/x86_64-w64-mingw32/include/zlib.h ]]; then
  echo "=== windows package SKIPPED: mingw-w64 or its zlib is missing (scripts/deps.sh --windows installs them) ===" >&2
else
  build_package build/package-windows ZIP tallymere -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
fi

printf '%s\n' "${made[@]}"
