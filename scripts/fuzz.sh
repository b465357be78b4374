#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for a fixed number of runs,
# starting from its checked-in seed corpus in fuzz/corpus/<target>/. New
# inputs go to a scratch corpus, never into the tree; a crash leaves its input
# in fuzz-artifacts/<target>/ and fails the command.
#
#   scripts/fuzz.sh [-runs N] [-build DIR] [TARGET...]
#
# The targets come from the "asan" preset's tree (build-asan/fuzz), built
# here when missing. The last line is "fuzz: P passed, F failed".
set -u
cd "$(dirname "$0")/.."
. scripts/counts.sh

runs=20000
build=build-asan
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -runs) runs=$2; shift 2 ;;
    -build) build=$2; shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

if [ ! -d "$build" ]; then
  cmake --preset asan >/dev/null || exit 1
fi
cmake --build "$build" -j "$(nproc)" --target fuzzers >/dev/null || { echo "fuzz targets failed to build"; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

counts_reset
for t in "${targets[@]}"; do
  bin=$build/fuzz/$t
  seeds=$PWD/fuzz/corpus/$t
  if [ ! -x "$bin" ] || [ ! -d "$seeds" ]; then
    fail "$t: no program or no seed corpus"
    continue
  fi
  mkdir -p "$scratch/$t/corpus" "$scratch/$t/tmp" "fuzz-artifacts/$t"
  log=$scratch/$t/log
  # Images hold an 8 KiB command zone; everything else stays small.
  max_len=4096
  [ "$t" = fuzz_inspect ] && max_len=16384
  start=$(date +%s%N)
  # -max_len keeps the file sets small; a slow input (10 s) counts as a hang.
  if TMPDIR=$scratch/$t/tmp "$bin" -runs="$runs" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$PWD/fuzz-artifacts/$t/" -print_final_stats=1 \
       "$scratch/$t/corpus" "$seeds" >"$log" 2>&1; then
    ms=$((($(date +%s%N) - start) / 1000000))
    execs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
    pass "$(printf '%-24s %7s runs, %s, %d.%03d s' "$t" "${execs:-?}" "${cov:-cov: ?}" $((ms / 1000)) $((ms % 1000)))"
    rmdir "fuzz-artifacts/$t" 2>/dev/null
  else
    fail "$t"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|deadly signal' "$log" | head -20
    grep -qE 'ERROR|SUMMARY|runtime error' "$log" || tail -5 "$log"
  fi
done
rmdir fuzz-artifacts 2>/dev/null
counts_line "fuzz: "
[ "$failed" -eq 0 ]
