#!/usr/bin/env bash
# Makes the package of a build tree with CPack, into a scratch folder, and
# checks it as a user receives it.
#   DEB: the package holds the program, the man page and the README under
#        /usr and nothing else, depends on the runtime packages of the shared
#        libraries the program links, and the program unpacked from it (dpkg -x
#        into a scratch root) prints the usage and counts a generated
#        repository exactly as the built program does.
#   ZIP: the archive holds tallymere.exe and the README, and the unpacked
#        program prints the usage as the built one does (run through the
#        given emulator, wine, on Linux).
#   package_check.sh CPACK BUILD_DIR DEB|ZIP [EMULATOR...]
# Exits 77 (skipped) when a tool the check needs is not installed.
set -euo pipefail
cpack=$1 build=$2 generator=$3
shift 3
emulator=("$@")
fail() { echo "FAILED: $*"; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

case $generator in
  DEB) for tool in dpkg-deb dpkg readelf; do
         command -v $tool >/dev/null || skip "$tool is missing"
       done ;;
  ZIP) command -v unzip >/dev/null || skip "unzip is missing" ;;
  *) fail "unknown generator $generator" ;;
esac

scratch=$(mktemp -d "$build/package-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
"$cpack" --config "$build/CPackConfig.cmake" -G "$generator" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G $generator"; }

# Runs a program with the arguments; its status, output and errors land in
# $scratch/<name>.{status,out,err}.
run() {
  local name=$1; shift
  local status=0
  "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
  echo $status >"$scratch/$name.status"
}
# NAME-A NAME-B: both succeeded and printed the same, the banner with its
# version (read from the executable itself on Windows) included.
expect_same_run() {
  local a=$1 b=$2 stream
  for name in "$a" "$b"; do
    [[ $(cat "$scratch/$name.status") == 0 ]] ||
      { cat "$scratch/$name.err"; fail "$name ended with status $(cat "$scratch/$name.status")"; }
  done
  for stream in out err; do
    cmp -s "$scratch/$a.$stream" "$scratch/$b.$stream" ||
      { diff "$scratch/$a.$stream" "$scratch/$b.$stream" | head -20; fail "$a and $b printed different std$stream"; }
  done
}

if [[ $generator == DEB ]]; then
  shopt -s nullglob
  debs=("$scratch"/out/*.deb)
  [[ ${#debs[@]} == 1 ]] || fail "expected one .deb, found ${#debs[@]}"
  deb=${debs[0]}
  package=$(dpkg-deb -f "$deb" Package)
  version=$(dpkg-deb -f "$deb" Version)
  arch=$(dpkg-deb -f "$deb" Architecture)
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $package == tallymere ]] || fail "package name $package"
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version $version"
  [[ $arch == "$(dpkg --print-architecture)" ]] || fail "architecture $arch"
  [[ $(basename "$deb") == "tallymere_${version}_${arch}.deb" ]] || fail "file name $(basename "$deb")"

  files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
  expected=$'./usr/bin/tallymere\n./usr/share/doc/tallymere/README.md\n./usr/share/man/man1/tallymere.1'
  # With Chart.js in the program, its copyright and license go with it.
  if grep -q 'Chart\.js v' "$build/tallymere"; then
    expected=$'./usr/bin/tallymere\n./usr/share/doc/tallymere/README.md\n./usr/share/doc/tallymere/chart.js-copyright\n./usr/share/man/man1/tallymere.1'
  fi
  [[ $files == "$expected" ]] || fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"

  # Each shared library the program needs comes from a package it depends on.
  needed=$(readelf -d "$build/tallymere" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  declare -A provider=([libz.so.1]=zlib1g [libdeflate.so.0]=libdeflate0 [libstdc++.so.6]=libstdc++6
                       [libc.so.6]=libc6 [libgcc_s.so.1]=libgcc-s1)
  depended=$(sed -e 's/ *([^)]*)//g' -e 's/ *, */\n/g' <<<"$depends")  # the names alone
  for library in $needed; do
    wanted=${provider[$library]:-}
    [[ -z $wanted ]] && continue
    grep -qxF "$wanted" <<<"$depended" ||
      fail "the program links $library, but the package does not depend on $wanted (Depends: $depends)"
  done
  grep -qxF zlib1g <<<"$depended" || fail "no dependency on zlib1g (Depends: $depends)"

  root=$scratch/root
  dpkg -x "$deb" "$root"
  installed=$root/usr/bin/tallymere
  [[ -x $installed ]] || fail "no executable $installed"
  run installed-help "$installed" -h
  run built-help "$build/tallymere" -h
  expect_same_run installed-help built-help
  grep -q '^Usage:' "$scratch/installed-help.out" || fail "the installed program printed no usage"

  repgen=$build/tools/repgen/repgen
  if [[ -x $repgen ]]; then
    "$repgen" --out "$scratch/repository" --events 2000 --files 3 --seed 11 >/dev/null 2>&1 ||
      fail "repgen could not write a repository"
    run installed-report "$installed" -m 1 "$scratch/repository"
    run built-report "$build/tallymere" -m 1 "$scratch/repository"
    expect_same_run installed-report built-report
    [[ -s $scratch/installed-report.out ]] || fail "the installed program printed an empty report"
  else
    echo "repgen is not built: the installed program was not run over a repository"
  fi
  echo "package OK: $(basename "$deb") (Depends: $depends)"
else
  shopt -s nullglob
  zips=("$scratch"/out/*.zip)
  [[ ${#zips[@]} == 1 ]] || fail "expected one .zip, found ${#zips[@]}"
  zip=${zips[0]}
  top=$(basename "$zip" .zip)
  files=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
  expected="$top/README.md"$'\n'"$top/tallymere.exe"
  if grep -q 'Chart\.js v' "$build/tallymere.exe"; then
    expected="$top/README.md"$'\n'"$top/chart.js-copyright.txt"$'\n'"$top/tallymere.exe"
  fi
  [[ $files == "$expected" ]] || fail "the archive holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"
  unzip -q "$zip" -d "$scratch/root"
  if [[ ${#emulator[@]} -gt 0 || $(uname -s) == MINGW* || $(uname -s) == MSYS* ]]; then
    run installed-help "${emulator[@]}" "$scratch/root/$top/tallymere.exe" -h
    run built-help "${emulator[@]}" "$build/tallymere.exe" -h
    expect_same_run installed-help built-help
    grep -q 'Usage:' "$scratch/installed-help.out" || fail "the unpacked program printed no usage"
    grep -q '^Kalvex Orvanta Tallymere [0-9]' "$scratch/installed-help.err" || fail "the unpacked program's banner has no version"
  else
    echo "no emulator: the unpacked program was not run"
  fi
  echo "package OK: $(basename "$zip")"
fi
