#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for a fixed number of runs,
# starting from its checked-in seed corpus in fuzz/corpus/<target>/. New
# inputs go to a scratch corpus, never into the tree; a crash leaves its input
# in fuzz-artifacts/<target>/ and fails the command.
#
#   scripts/fuzz.sh [-runs N] [-build DIR] [TARGET...]
#
# Campaign mode runs each target for a number of runs or seconds over a corpus
# that is kept between campaigns, outside the tree (by default
# ~/.cache/dlm-fuzz/<target>, or DIR/<target>), and prints its figures: runs,
# executions per second, the final coverage ("cov:" edges, "ft:" features)
# and the time. With -merge, the smallest set of inputs that keeps the
# coverage of the seeds and the kept corpus replaces the found inputs in
# fuzz/corpus/<target>/ (the named seeds themselves stay).
# -jobs J > 1 runs each target in libFuzzer's fork mode with J workers.
#
#   scripts/fuzz.sh -campaign (-runs N | -seconds S) [-corpus-dir DIR] [-merge]
#                   [-jobs J] [-build DIR] [TARGET...]
#
# The targets come from the "asan" preset's tree (build-asan/fuzz), built
# here when missing. The last line is "fuzz: P passed, F failed".
set -u
cd "$(dirname "$0")/.."
. scripts/counts.sh

runs=20000
seconds=
campaign=0
merge=0
jobs=1
corpus_root=${XDG_CACHE_HOME:-$HOME/.cache}/dlm-fuzz
build=build-asan
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -runs) runs=$2; shift 2 ;;
    -seconds) seconds=$2; shift 2 ;;
    -campaign) campaign=1; shift ;;
    -corpus-dir) corpus_root=$2; shift 2 ;;
    -merge) merge=1; shift ;;
    -jobs) jobs=$2; shift 2 ;;
    -build) build=$2; shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
explicit=1
if [ ${#targets[@]} -eq 0 ]; then
  explicit=0
  for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

if [ ! -d "$build" ]; then
  cmake --preset asan >/dev/null || exit 1
fi
# Only the targets asked for are built (the whole tree is slow to build).
build_targets=fuzzers
[ ${#targets[@]} -gt 0 ] && [ "$explicit" -eq 1 ] && build_targets="${targets[*]}"
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $build_targets >/dev/null || { echo "fuzz targets failed to build"; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A long run of one target over its kept corpus; prints the figures.
campaign_target() {
  local t=$1 bin=$2 seeds=$3 log=$4 max_len=$5
  local corpus=$corpus_root/$t
  mkdir -p "$corpus" "$scratch/$t/tmp" "fuzz-artifacts/$t"
  corpus=$(cd "$corpus" && pwd)
  local limit=(-runs="$runs")
  [ -n "$seconds" ] && limit=(-max_total_time="$seconds")
  local fork=()
  [ "$jobs" -gt 1 ] && fork=(-fork="$jobs")
  local start ms
  start=$(date +%s%N)
  if ! TMPDIR=$scratch/$t/tmp "$bin" "${limit[@]}" "${fork[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$PWD/fuzz-artifacts/$t/" -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1; then
    fail "$t"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|deadly signal|PROPERTY' "$log" | head -20
    return
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  rmdir "fuzz-artifacts/$t" 2>/dev/null
  local execs rate final
  execs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  rate=$(grep -m1 '^stat::average_exec_per_sec' "$log" | awk '{print $2}')
  final=$(grep -E '^#[0-9]+' "$log" | tail -1)
  local cov ft
  cov=$(echo "$final" | grep -oE 'cov: [0-9]+' | awk '{print $2}')
  ft=$(echo "$final" | grep -oE 'ft: [0-9]+' | awk '{print $2}')
  local kept
  kept=$(find "$corpus" -type f | wc -l)
  if [ "$merge" -eq 1 ]; then
    # The smallest set that keeps the coverage of the seeds and the kept
    # corpus together replaces the found inputs (named by their SHA-1) in
    # fuzz/corpus/<target>/; the named seeds stay as they are.
    local mini=$scratch/$t/min
    mkdir -p "$mini"
    TMPDIR=$scratch/$t/tmp "$bin" -merge=1 -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      "$mini" "$seeds" "$corpus" >"$log.merge" 2>&1 || { fail "$t: merge"; tail -5 "$log.merge"; return; }
    find "$seeds" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
    local named f sum
    named=$(find "$seeds" -maxdepth 1 -type f -exec sha1sum {} + | awk '{print $1}')
    for f in "$mini"/*; do
      [ -f "$f" ] || continue
      sum=$(sha1sum "$f" | awk '{print $1}')
      grep -qx "$sum" <<<"$named" || cp "$f" "$seeds/$sum"
    done
    kept="$kept, fuzz/corpus/$t now $(find "$seeds" -type f | wc -l) (minimal set $(find "$mini" -type f | wc -l))"
  fi
  pass "$(printf '%-24s %9s runs, %6s exec/s, cov: %s, ft: %s, %d s, corpus %s' "$t" "${execs:-?}" \
    "${rate:-?}" "${cov:-?}" "${ft:-?}" $((ms / 1000)) "$kept")"
}

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
  if [ "$campaign" -eq 1 ]; then
    campaign_target "$t" "$bin" "$seeds" "$log" "$max_len"
    continue
  fi
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
