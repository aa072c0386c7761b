#!/usr/bin/env bash
# Builds tallymere (Release), generates a small sample repository with
# repgen, and prints the report of one grouping mode over it.
#   scripts/demo.sh [mode]      (default mode 1: day, log, event ID)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
mode=${1:-1}
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tallymere repgen >/dev/null

sample=.demo/repository
if [[ ! -d $sample ]]; then
  echo "Generating a sample repository in $sample ..." >&2
  "$build/tools/repgen/repgen" --out "$sample" --events 5000 --files 6 --seed 7 >&2
fi

echo "--- tallymere -v -m $mode $sample ---" >&2
"$build/tallymere" -v -m "$mode" "$sample"
