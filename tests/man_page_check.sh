#!/usr/bin/env bash
# The man page formats without a single groff warning, has the sections a
# reader looks for, fits an 80-column terminal, and man shows it.
#   man_page_check.sh PAGE
# Exits 77 (skipped) when groff is not installed.
set -euo pipefail
page=$1
fail() { echo "FAILED: $*"; exit 1; }

command -v groff >/dev/null || { echo "SKIPPED: groff is missing (Debian: groff-base)"; exit 77; }

# -ww turns on every warning; -z formats without output.
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed: $warnings"
[[ -z $warnings ]] || fail "groff warns about $page:"$'\n'"$warnings"

# Plain text: no escape sequences, no overstriking.
text=$(groff -man -Tutf8 -rLL=80n -P-cbou "$page")
for section in NAME SYNOPSIS DESCRIPTION OPTIONS MODES "EXIT STATUS" EXAMPLES FILES ENVIRONMENT; do
  grep -qx "$section" <<<"$text" || fail "no section $section"
done
wide=$(LC_ALL=C.UTF-8; while IFS= read -r line; do (( ${#line} <= 80 )) || echo "$line"; done <<<"$text")
[[ -z $wide ]] || fail "lines wider than 80 columns:"$'\n'"$wide"

if command -v man >/dev/null; then
  shown=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null) || fail "man -l failed: $shown"
  [[ -z $shown ]] || fail "man -l complains: $shown"
else
  echo "man is missing (Debian: man-db): only groff checked the page"
fi
echo "man page OK: $page"
