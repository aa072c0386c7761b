#!/usr/bin/env bash
# Checks the C++ sources against the project's style limits:
#   - clang-format (the repository's .clang-format) would change nothing;
#   - no file is over 400 lines;
#   - no function is over 60 lines (clang-tidy's readability-function-size).
# Run from the repository root after a build configured with
# -DCMAKE_EXPORT_COMPILE_COMMANDS=ON:
#   scripts/check_style.sh build/dev/compile_commands.json [windows/compile_commands.json]
# The second, optional, database is a Windows (mingw-w64) build's: with it
# the Windows-only sources get the function check too. Prints every failure
# and exits non-zero, or prints one line when all is well.
set -euo pipefail

readonly kMaxFileLines=400
readonly kMaxFunctionLines=60

if [[ $# -lt 1 || $# -gt 2 || ! -f $1 ]]; then
  echo "usage: $0 <build>/compile_commands.json [<windows build>/compile_commands.json]" >&2
  exit 2
fi
database=$1
windows_database=${2:-}
root=$(git rev-parse --show-toplevel)
if [[ $(realpath "$PWD") != $(realpath "$root") ]]; then
  echo "$0: run it from the repository root ($root)" >&2
  exit 2
fi
for tool in clang-format clang-tidy python3; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (scripts/deps.sh installs it)" >&2; exit 2; }
done

failed=0
fail() {
  echo "$*"
  failed=1
}

# Only what git tracks: build trees, fetched sources and scratch files are
# not the project's code.
mapfile -t sources < <(git ls-files -- src tests tools bench fuzz | grep -E '\.(cpp|cc|cxx|h|hpp)$')

# ---- formatting --------------------------------------------------------------
if ! format_output=$(clang-format --dry-run -Werror "${sources[@]}" 2>&1); then
  # One line per file: the diagnostics themselves repeat every changed line.
  grep -oE '^[^:]+:[0-9]+:[0-9]+: error: code should be clang-formatted' <<<"$format_output" |
    cut -d: -f1 | sort -u | sed 's/$/: not formatted (clang-format -i fixes it)/' || true
  failed=1
  # An output without those lines is clang-format itself failing: show it.
  grep -q 'code should be clang-formatted' <<<"$format_output" || echo "$format_output"
fi

# ---- file length -------------------------------------------------------------
for file in "${sources[@]}"; do
  lines=$(wc -l <"$file")
  ((lines <= kMaxFileLines)) || fail "$file: $lines lines (at most $kMaxFileLines)"
done

# ---- function length ---------------------------------------------------------
# The translation units of a compilation database that are the repository's
# own (src, tests, tools, bench), not generated or third-party code.
units_of() {
  python3 - "$1" "$root" <<'EOF'
import json, os, sys
database, root = sys.argv[1], os.path.realpath(sys.argv[2])
for entry in json.load(open(database)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    relative = os.path.relpath(path, root)
    if relative.split(os.sep)[0] in ("src", "tests", "tools", "bench"):
        print(path)
EOF
}

# One unit through clang-tidy, its messages into a file of its own in $1 so
# that units checked side by side do not interleave them. Only the size check
# runs; -w keeps the build's -Werror from turning compiler warnings (which
# clang and gcc do not share) into errors. Headers count when they are the
# repository's own.
tidy_unit() {
  local out=$1 db_dir=$2 unit=$3
  local log="$out/$(basename "$unit").$BASHPID"
  local extra=()
  [[ -z ${TIDY_EXTRA_ARGS:-} ]] || mapfile -t extra <<<"$TIDY_EXTRA_ARGS"
  clang-tidy --quiet -p "$db_dir" --checks='-*,readability-function-size' \
    --config="{CheckOptions: [{key: readability-function-size.LineThreshold, value: $MAX_FUNCTION_LINES}]}" \
    --header-filter="^$ROOT/(src|tests|tools|bench|fuzz)/" --extra-arg=-w "${extra[@]}" "$unit" >"$log" 2>&1 ||
    echo "$unit: clang-tidy failed" >>"$log"
}
export -f tidy_unit
export ROOT=$root MAX_FUNCTION_LINES=$kMaxFunctionLines

# Every function over the limit in the units of a database, two units at a
# time; a header's function is reported once however many units include it.
# With a second database, only its units that are not in that one.
check_functions() {
  local db=$1 known=${2:-} out report
  out=$(mktemp -d)
  comm -23 <(units_of "$db" | sort -u) <(if [[ -n $known ]]; then units_of "$known" | sort -u; fi) | xargs -r -P2 -I{} bash -c 'tidy_unit "$@"' _ "$out" "$(dirname "$db")" {}
  # The warning names the function; the note after it gives its length.
  report=$(cat "$out"/* | awk -v root="$root/" '
    / warning: function .* \[readability-function-size\]/ {
      split($0, at, ":"); where = at[1] ":" at[2]; sub(root, "", where)
      match($0, /function '\''[^'\'']*'\''/); name = substr($0, RSTART, RLENGTH)
    }
    / note: [0-9]+ lines including/ && name != "" {
      match($0, /[0-9]+ lines/); print where ": " name ": " substr($0, RSTART, RLENGTH) " (at most '"$kMaxFunctionLines"')"
      name = ""
    }
    / error: |clang-tidy failed/ { print }' | sort -u)
  rm -rf "$out"
  [[ -z $report ]] || fail "$report"
}

check_functions "$database"

# The Windows-only sources (src/platform/win32, tests/support/*_win32.cpp)
# are in no Linux database, and the Windows build is optional (it needs the
# cross tools) and comes last in scripts/test.sh: without its database they
# are held to the formatting and file length rules only. Given a Windows
# build's database, the units only it holds get the function check too.
if [[ -n $windows_database ]]; then
  [[ -f $windows_database ]] || { echo "$0: $windows_database does not exist" >&2; exit 2; }
  # Its units are compiled by mingw-w64's g++: clang is told the target, and
  # where that g++ keeps its C++ library headers (Debian's folder names,
  # such as 12-posix, are not among those clang looks for).
  cross_compiler=$(python3 -c 'import json, shlex, sys
for e in json.load(open(sys.argv[1])):
    if e["file"].endswith(".cpp"):
        print(e["arguments"][0] if "arguments" in e else shlex.split(e["command"])[0]); break' "$windows_database")
  target=$("$cross_compiler" -dumpmachine) || { echo "$0: $cross_compiler does not run" >&2; exit 2; }
  TIDY_EXTRA_ARGS=$({
    echo "--extra-arg=--target=$target"
    "$cross_compiler" -E -x c++ -v - </dev/null 2>&1 |
      sed -n '/^#include <...> search starts here:/,/^End of search list/p' | grep '/c++' |
      sed 's/^ */--extra-arg=-isystem/'
  })
  export TIDY_EXTRA_ARGS
  check_functions "$windows_database" "$database"
fi

if ((failed)); then
  echo "check_style: the sources are not within the style limits (above)"
  exit 1
fi
windows_note=""
[[ -n $windows_database ]] || windows_note=" (Windows-only units: no function check without their database)"
echo "check_style: formatting, file lengths (<= $kMaxFileLines) and function lengths (<= $kMaxFunctionLines) all within the limits$windows_note"
