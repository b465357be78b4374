#!/usr/bin/env bash
# Sets up this machine (Debian, as root) and runs every test suite of the
# project. Each suite in scripts/suites/ records its own counts; the last line
# is the sum over all suites. Exits non-zero when anything failed.
set -u
cd "$(dirname "$0")/.."
. scripts/lib.sh

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

for suite in scripts/suites/*.sh; do
  name=$(basename "$suite" .sh)
  echo "=== suite $name"
  if ! bash "$suite" "$results"; then
    # A suite that died without recording counts counts as one failure.
    [ -f "$results/$name" ] || record_counts "$results" "$name" 0 1
  fi
  [ -f "$results/$name" ] || record_counts "$results" "$name" 0 1
  read -r p f < "$results/$name"
  echo "=== suite $name: $p passed, $f failed"
done

counts_reset
for r in "$results"/*; do
  read -r p f < "$r"
  counts_add "$p" "$f"
done
counts_line
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
