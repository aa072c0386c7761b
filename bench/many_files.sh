#!/usr/bin/env bash
# Many small files: the walk and the per-file pipeline must take time linear
# in the number of files and hold memory flat (nothing kept per file). Writes
# (once, cached in .bench/) repositories of 10,000 and 100,000 files of ten
# events each, then runs the property total (-m -1) and a grouping mode
# (-m 9) and its Fast mode (-m 29) over each, printing wall time, files per
# second, CPU time per file and peak resident memory. The rows of a mode
# should show about the same CPU time per file; peak memory grows only with
# the report's own counts and with the largest folder's sorted listing,
# not with anything kept per file read.
#   bench/many_files.sh [file counts...]   (default: 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."

counts=("$@")
[[ ${#counts[@]} -eq 0 ]] && counts=(10000 100000)
scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLYMERE_TESTS=OFF >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target tallymere repgen >/dev/null

printf '%-8s %5s %9s %9s %12s %16s %12s\n' files mode wall_s cpu_s files_per_s cpu_us_per_file peak_rss_mb
for files in "${counts[@]}"; do
  repo=.bench/many-files-$files
  if [[ ! -f $repo/.complete ]]; then
    rm -rf "$repo"
    build/bench/tools/repgen/repgen --out "$repo" --events $((files * 10)) --files "$files" \
      --footers 1 --nested 0 --threads "${JOBS:-2}" >/dev/null
    touch "$repo/.complete"
  fi
  for mode in -1 9 29; do
    stats=$(mktemp)
    /usr/bin/time -f '%e %U %S %M' -o "$stats" build/bench/tallymere -m "$mode" "$repo" >/dev/null 2>&1 || {
      echo "many_files.sh: the run over $repo in mode $mode failed" >&2
      exit 1
    }
    read -r wall user sys rss_kb <"$stats"
    rm -f "$stats"
    awk -v f="$files" -v m="$mode" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss_kb" \
      'BEGIN { printf "%-8d %5s %9.2f %9.2f %12.0f %16.1f %12.1f\n", f, m, w, u + s, f / (w > 0 ? w : 0.01),
               (u + s) * 1e6 / f, r / 1024 }'
  done
done
