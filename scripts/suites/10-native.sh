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
if ! run_ctest --preset default -j "$(nproc)"; then
  record_counts "$results" 10-native 0 1
  exit 1
fi
record_counts "$results" 10-native "$ctest_passed" "$ctest_failed"
[ "$ctest_failed" -eq 0 ]
