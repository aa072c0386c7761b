#!/usr/bin/env bash
# Installs, from Debian packages, whatever the build and the tests need and the
# machine lacks. Safe to run again: packages already present are left alone.
#   scripts/deps.sh            toolchain (with libFuzzer), CMake, libdeflate, zlib, GoogleTest,
#                              Chart.js for the HTML page, and the tools of the terminal,
#                              browser, man page and package tests, and the style check's tools
#   scripts/deps.sh --windows  also the mingw-w64 cross tools, wine, and Debian's
#                              source package of libdeflate (the version of the
#                              installed libdeflate-dev) in build/deps/libdeflate,
#                              which the Windows build compiles for its target
set -euo pipefail
cd "$(dirname "$0")/.."

windows=0
[[ "${1:-}" == "--windows" ]] && windows=1

# tmux runs the program in a real terminal for the status-line test;
# dpkg-dev (dpkg-shlibdeps, dpkg-source), groff-base, man-db and unzip serve
# the package and man page checks. libjs-chart.js is the chart library the
# build puts inline into the HTML page (the Windows build takes the same
# file); chromium renders the page headless in its browser test; sqlite3
# sums CSV reports in the test of merging them. clang-format and clang-tidy
# serve the style check (scripts/check_style.sh).
packages=(g++ clang libclang-rt-dev clang-format clang-tidy cmake ninja-build pkg-config libdeflate-dev zlib1g-dev libgtest-dev python3 time
          tmux dpkg-dev groff-base man-db unzip libjs-chart.js chromium sqlite3)
if [[ $windows == 1 ]]; then
  # dpkg-dev (above) also unpacks the libdeflate source package and checks it
  # against its .dsc.
  packages+=(g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "deps.sh: missing packages (${missing[*]}); run as root or install them" >&2
    exit 1
  fi
  echo "deps.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[[ $windows == 1 ]] || exit 0

# ---- libdeflate for the Windows build ---------------------------------------
# Debian packages no libdeflate for mingw-w64, so the Windows build compiles the
# library from Debian's own source package, of the same version as the Linux
# build links. The unpacked tree lands in build/deps/libdeflate/source; the
# stamp file beside it names the version it holds, so a second run with the
# same version fetches nothing.
version=$(dpkg-query -W -f='${Version}' libdeflate-dev)
cache=build/deps/libdeflate
stamp=$cache/source.version
if [[ -f $stamp && "$(cat "$stamp")" == "$version" && -f $cache/source/libdeflate.h ]]; then
  exit 0
fi
fail() {
  [[ -n ${work:-} ]] && rm -rf "$work"
  echo "deps.sh: cannot get the libdeflate $version source package: $*" >&2
  echo "deps.sh: without it the Windows build inflates with zlib (-DTALLYMERE_INFLATE=libdeflate refuses to configure)" >&2
  exit 1
}
if [[ $(id -u) -ne 0 ]]; then
  fail "run as root (it adds a deb-src entry and runs apt-get update)"
fi

# The source entry is the machine's own binary entry with its type changed,
# in a file of its own, written again only when it would differ.
binary_sources=/etc/apt/sources.list.d/debian.sources
source_entry=/etc/apt/sources.list.d/tallymere-deb-src.sources
[[ -f $binary_sources ]] || fail "$binary_sources (the entry the source entry is derived from) is missing"
entry=$(sed -e 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$binary_sources")
grep -q '^Types: deb-src$' <<<"$entry" || fail "$binary_sources has no 'Types: deb' entry"
if [[ ! -f $source_entry ]] || [[ "$(cat "$source_entry")" != "$entry" ]]; then
  printf '%s\n' "$entry" >"$source_entry"
fi
echo "deps.sh: fetching the libdeflate $version source package into $cache" >&2
apt-get update -qq || fail "apt-get update failed"

# apt-get checks every downloaded file against the signed archive index;
# dpkg-source then checks the files against the checksums in the .dsc and
# applies Debian's patches. Both happen in a fresh folder, moved into place
# only when complete, so a failed run leaves nothing half unpacked behind.
work=$cache/fetch
rm -rf "$work" "$cache/source" "$cache/package" "$stamp"
mkdir -p "$work"
(cd "$work" && apt-get source --download-only -qq "libdeflate=$version" >/dev/null) ||
  fail "apt-get source failed"
dsc=$(ls "$work"/libdeflate_*.dsc 2>/dev/null | head -n 1)
[[ -n $dsc ]] || fail "no .dsc file was downloaded"
dpkg-source --no-copy -x "$dsc" "$work/source" >/dev/null || fail "$dsc does not match its files"
[[ -f $work/source/libdeflate.h && -f $work/source/lib/deflate_decompress.c ]] ||
  fail "the unpacked source has no libdeflate.h or lib/deflate_decompress.c"
mv "$work/source" "$cache/source"
mkdir -p "$cache/package"
mv "$work"/libdeflate_* "$cache/package/"
rm -rf "$work"
printf '%s\n' "$version" >"$stamp"
echo "deps.sh: libdeflate $version source verified and unpacked in $cache/source" >&2
