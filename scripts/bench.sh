#!/usr/bin/env bash
# Benchmark of the counting modes against the decompression floor.
#
# Generates (once, cached in .bench/) three repositories with repgen, of the
# shapes administrators' repositories take: 300 files of about 1.3 MB (20
# million events), 30 files of 10 to 20 MB (the same events), and a single
# file of over 400 MB (a tenth more events). Builds the program with the
# libdeflate and with the zlib inflate backend and the floor program, runs
# every mode several times and prints a table per shape of median wall
# time, CPU time, the serial share (processor time of the work only the main
# thread can do, over the run's), peak memory, events per second and the
# ratio to the floor, with the default worker threads (and for modes -1, 0,
# 1, 4, 8, 12 and their Fast modes on the main thread alone too), and
# whether each target is met. Every run's report must equal the
# reference report of its grouping. Then it compares the peak memory over
# 100 and 1,000 files of the same size. The tables are also written to
# bench/results.md.
#   scripts/bench.sh [runs]      (default 5 runs per case)
#
# With --windows it builds the Windows executable as well (mingw-w64, as
# scripts/test.sh does) and runs it under wine next to the Linux executable
# on the same repository, for modes 20, 24, 0 and 8, and prints the median
# ratio of their wall times, wine's start-up (a -h run) taken off; the table
# goes to bench/results-windows.md.
#   scripts/bench.sh --windows [runs]
#
# With --against REV it builds the program of that revision (any name git
# knows) beside the work tree's and times the two against each other, every
# mode on each repository shape, in interleaved pairs: the table of median
# ratios new / base goes to bench/ab-results.md, and the script fails when a
# mode is more than 3 % slower or a report differs.
#   scripts/bench.sh --against main~5 [runs]
# BENCH_EVENTS sets the size of the repository (default 20 million events).
set -euo pipefail
cd "$(dirname "$0")/.."

windows=0
against=""
if [[ "${1:-}" == "--windows" ]]; then
  windows=1
  shift
elif [[ "${1:-}" == "--against" ]]; then
  against=${2:?"--against needs a revision"}
  shift 2
fi
scripts/deps.sh
[[ $windows == 1 ]] && scripts/deps.sh --windows
runs=${1:-5}
events=${BENCH_EVENTS:-20000000}

build_variant() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target tallymere repgen tallymere_floor >/dev/null
}
build_variant build/bench
[[ $windows == 1 || -n $against ]] || build_variant build/bench-zlib -DTALLYMERE_INFLATE=zlib

# generate DIR EVENTS FILES SEED [options]: a cached repository of the shape.
generate() {
  local dir=$1 count=$2 files=$3 seed=$4
  shift 4
  if [[ ! -f $dir/.complete ]]; then
    rm -rf "$dir"
    echo "Generating $dir ($count events in $files files) ..." >&2
    build/bench/tools/repgen/repgen --out "$dir" --events "$count" --files "$files" --start 20180101 \
      --span-days 365 --seed "$seed" --threads "$(nproc)" "$@" >&2
    touch "$dir/.complete"
  fi
}
repo=.bench/repo-$events
generate "$repo" "$events" 300 20
mid=.bench/mid-$events
generate "$mid" "$events" 30 21
single_events=$((events + events / 10))
single=.bench/single-$single_events
generate "$single" "$single_events" 1 22 --nested 0

if [[ -n $against ]]; then
  # The base's source is exported whole (no second work tree to tidy up) and
  # built as the work tree's program is.
  rev=$(git rev-parse --verify "$against^{commit}")
  base_src=build/bench-base/source
  rm -rf "$base_src"
  mkdir -p "$base_src"
  git archive "$rev" | tar -x -C "$base_src"
  cmake -S "$base_src" -B build/bench-base/build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF >/dev/null
  cmake --build build/bench-base/build -j "$(nproc)" --target tallymere >/dev/null
  python3 bench/ab_compare.py --runs "$runs" --base build/bench-base/build/tallymere --new build/bench/tallymere \
    --label "$against (${rev:0:12})" --shape "300 files=$repo" --shape "30 files=$mid" --shape "1 file=$single" \
    --out bench/ab-results.md
  exit 0
fi

if [[ $windows == 1 ]]; then
  dir=build/bench-windows
  wine=/usr/lib/wine/wine64
  [[ -x $wine ]] || wine=$(command -v wine64)
  # The same backend as the Linux build: configuring fails if the libdeflate
  # source is missing rather than measuring the zlib build.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF -DTALLYMERE_INFLATE=libdeflate \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target tallymere >/dev/null
  export WINEPREFIX=$PWD/$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  unset DISPLAY
  # One wine server for all the runs, as on a Windows machine the system is
  # up already; stopped at the end (the server of this prefix only).
  wineserver=$(dirname "$wine")/wineserver
  "$wineserver" -k 2>/dev/null || true
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1  # a new prefix is set up first
  "$wineserver" -w  # wineboot's own server, which would stop between runs
  "$wineserver" -p
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  python3 bench/windows_ratio.py --runs "$runs" --events "$events" --repo "$repo" \
    --linux-program build/bench/tallymere --windows-program "$dir/tallymere.exe" --wine "$wine" \
    --out bench/results-windows.md
  exit 0
fi

# Memory must stay flat as the file count grows: two repositories of files
# of the same size (20,000 events each), one with ten times as many files.
flat=()
for files in 100 1000; do
  dir=.bench/flat-$files
  if [[ ! -f $dir/.complete ]]; then
    rm -rf "$dir"
    echo "Generating $files files of 20,000 events in $dir ..." >&2
    build/bench/tools/repgen/repgen --out "$dir" --events $((files * 20000)) --files "$files" --parts 2 \
      --start 20180101 --span-days 365 --seed 5 --threads "$(nproc)" >/dev/null
    touch "$dir/.complete"
  fi
  flat+=("$dir")
done

python3 bench/run_bench.py --runs "$runs" \
  --shape "300 files=$events=$repo" --shape "30 files=$events=$mid" --shape "1 file=$single_events=$single" \
  --program build/bench/tallymere --zlib-program build/bench-zlib/tallymere \
  --floor build/bench/bench/tallymere_floor --flat-repos "${flat[@]}" --out bench/results.md
