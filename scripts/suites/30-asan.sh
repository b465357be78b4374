#!/usr/bin/env bash
# The sanitizer tree (preset "asan", build-asan): clang with AddressSanitizer
# and UndefinedBehaviorSanitizer, the first finding ending the program. The
# same tree holds the libFuzzer targets. Runs every CTest case there (the
# fault matrix and the hostile inputs included), then a short fuzz pass of
# each target over its seed corpus.
set -u
results=$1
. scripts/lib.sh

# Fuzz runs per target in the smoke pass (scripts/fuzz.sh runs more).
SMOKE_RUNS=${DLM_FUZZ_SMOKE_RUNS:-3000}

if ! ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev; then
  echo "cannot install clang"
  record_counts "$results" 30-asan 0 1
  exit 1
fi

t0=$(date +%s)
if ! { cmake --preset asan >/dev/null && cmake --build --preset asan -j "$(nproc)"; }; then
  echo "sanitizer build failed"
  record_counts "$results" 30-asan 0 1
  exit 1
fi
t1=$(date +%s)

counts_reset
if run_ctest --preset asan -j "$(nproc)"; then
  counts_add "$ctest_passed" "$ctest_failed"
else
  fail "ctest under the sanitizers finished"
fi
t2=$(date +%s)

log=$(mktemp)
bash scripts/fuzz.sh -runs "$SMOKE_RUNS" | tee "$log"
if fuzz_counts=$(read_counts "fuzz: " "$log"); then
  counts_add $fuzz_counts
else
  fail "fuzz smoke pass finished"
fi
t3=$(date +%s)
rm -f "$log"

echo "asan: build $((t1 - t0)) s, tests $((t2 - t1)) s, fuzz smoke $((t3 - t2)) s"
record_counts "$results" 30-asan "$passed" "$failed"
[ "$failed" -eq 0 ]
