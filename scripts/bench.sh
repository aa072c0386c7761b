#!/usr/bin/env bash
# Benchmark of the counting modes against the decompression floor.
#
# Generates (once, cached in .bench/) a repository of 20 million events with
# repgen, builds the program with the libdeflate and with the zlib inflate
# backend and the floor program, runs every case several times and prints a
# table of median wall time, CPU time, peak memory, events per second and
# the ratio to the floor. Every run's report must equal the reference report
# of its grouping. The table is also written to bench/results.md.
#   scripts/bench.sh [runs]      (default 5 runs per case)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
runs=${1:-5}
events=${BENCH_EVENTS:-20000000}

build_variant() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target tallymere repgen tallymere_floor >/dev/null
}
build_variant build/bench
build_variant build/bench-zlib -DTALLYMERE_INFLATE=zlib

repo=.bench/repo-$events
if [[ ! -f $repo/.complete ]]; then
  rm -rf "$repo"
  echo "Generating the benchmark repository ($events events) in $repo ..." >&2
  build/bench/tools/repgen/repgen --out "$repo" --events "$events" --files 300 --start 20180101 \
    --span-days 365 --seed 20 --threads "$(nproc)" >&2
  touch "$repo/.complete"
fi

python3 bench/run_bench.py --runs "$runs" --events "$events" --repo "$repo" \
  --program build/bench/tallymere --zlib-program build/bench-zlib/tallymere \
  --floor build/bench/bench/tallymere_floor --out bench/results.md
