#!/usr/bin/env bash
# Installs, from Debian packages, whatever the build and the tests need and the
# machine lacks. Safe to run again: packages already present are left alone.
#   scripts/deps.sh            toolchain (with libFuzzer), CMake, libdeflate, zlib, GoogleTest
#   scripts/deps.sh --windows  also the mingw-w64 cross tools and wine
set -euo pipefail

packages=(g++ clang libclang-rt-dev cmake ninja-build pkg-config libdeflate-dev zlib1g-dev libgtest-dev python3 time)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "deps.sh: missing packages (${missing[*]}); run as root or install them" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
