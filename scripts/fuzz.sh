#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer), replays the seed corpora and the saved crash reproducers, then
# fuzzes each target in turn for the given number of seconds (default 60).
#   scripts/fuzz.sh [seconds] [target...]   targets: image pipeline data_buffer options
# New corpus entries go to build/fuzz-corpus/<target>, findings to
# build/fuzz-findings/<target>, logs to build/fuzz-logs; nothing is written
# inside the source tree. A crash reproducer worth keeping belongs in
# fuzz/regressions/<target>/, where every later run replays it.
# Exits non-zero on any crash, leak, timeout, out-of-memory or sanitizer
# report. JOBS sets the build parallelism (default 2); one fuzzer runs at a
# time, on one core.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(image pipeline data_buffer options)
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTALLYMERE_FUZZ=ON -DTALLYMERE_TESTS=OFF -DTALLYMERE_WERROR=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

echo "=== fuzz: replaying seeds and saved reproducers ==="
ctest --test-dir "$build" --output-on-failure --timeout 600

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build/fuzz-logs
for target in "${targets[@]}"; do
  corpus=build/fuzz-corpus/$target
  findings=build/fuzz-findings/$target
  log=build/fuzz-logs/$target.log
  mkdir -p "$corpus" "$findings"
  dict=()
  [[ $target == image || $target == pipeline ]] && dict=(-dict=fuzz/repository.dict)
  echo "=== fuzz: $target for ${seconds}s ==="
  # The first folder receives new entries; the seeds are only read.
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
       -max_len=16384 -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" \
       "$corpus" "$build/fuzz/seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $target failed; reproducer in $findings, log in $log" >&2
    exit 1
  fi
  grep -aE '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
done
echo "=== fuzz: every target ran clean ==="
