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

passed=0
failed=0
log=$(mktemp)
ctest --preset asan -j "$(nproc)" 2>&1 | tee "$log" | grep -vE '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+:)'
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
if [ -n "$summary" ]; then
  f=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  passed=$((total - f))
  failed=$f
else
  echo "ctest under the sanitizers did not finish"
  failed=$((failed + 1))
fi
t2=$(date +%s)

bash scripts/fuzz.sh -runs "$SMOKE_RUNS" | tee "$log"
summary=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
if [ -n "$summary" ]; then
  passed=$((passed + $(echo "$summary" | sed -E 's/^fuzz: ([0-9]+) passed.*/\1/')))
  failed=$((failed + $(echo "$summary" | sed -E 's/.* ([0-9]+) failed$/\1/')))
else
  echo "fuzz smoke pass did not finish"
  failed=$((failed + 1))
fi
t3=$(date +%s)
rm -f "$log"

echo "asan: build $((t1 - t0)) s, tests $((t2 - t1)) s, fuzz smoke $((t3 - t2)) s"
record_counts "$results" 30-asan "$passed" "$failed"
[ "$failed" -eq 0 ]
