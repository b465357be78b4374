#!/usr/bin/env bash
# The native build and every GoogleTest case under CTest.
set -u
results=$1
. scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}" || { record_counts "$results" 10-native 0 1; exit 1; }
if ! build_native default; then
  echo "native build failed"
  record_counts "$results" 10-native 0 1
  exit 1
fi
log=$(mktemp)
ctest --preset default -j "$(nproc)" 2>&1 | tee "$log" | grep -vE '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+:)'
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
rm -f "$log"
if [ -z "$summary" ]; then
  record_counts "$results" 10-native 0 1
  exit 1
fi
failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
total=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
record_counts "$results" 10-native $((total - failed)) "$failed"
[ "$failed" -eq 0 ]
