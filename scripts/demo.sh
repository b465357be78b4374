#!/usr/bin/env bash
# Sets up this machine (Debian, as root), builds the tools and runs the typical
# download job of the sample project against the simulated chip, twice: the
# first run writes the image, the second finds nothing changed and rewrites
# nothing. Everything happens in a scratch directory; the checkout is never
# written to.
#
# DLM_BIN=DIR uses the programs already built in DIR and skips set-up and build.
set -eu
cd "$(dirname "$0")/.."
if [ -n "${DLM_BIN:-}" ]; then
  bin=$DLM_BIN
else
  . scripts/lib.sh
  ensure_packages "${BUILD_PACKAGES[@]}"
  build_native default
  bin=$PWD/build/bin
fi

scratch=$(mktemp -d)
mkdir "$scratch/project" "$scratch/tmp" "$scratch/chip"
cp -r examples/. "$scratch/project/"
echo "== scratch directory: $scratch"

# The chip: its flash lives in chip/flash.bin and outlasts both runs.
sock=$scratch/dlmsim.sock
trace=$scratch/trace.jsonl
"$bin/dlmsim" --socket "$sock" --state "$scratch/chip" --trace "$trace" 2>"$scratch/dlmsim.log" &
sim=$!
stop_sim() {
  if kill -0 "$sim" 2>/dev/null; then
    "$bin/dlmsim" shutdown --socket "$sock" >/dev/null 2>&1 || kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
}
trap stop_sim EXIT
for _ in $(seq 100); do
  [ -S "$sock" ] && break
  sleep 0.05
done
sleep 0.1

# One run of the typical job; prints the chip commands it caused.
run_job() {
  local before after status
  before=$(wc -l <"$trace")
  set +e
  (cd "$scratch/project" &&
    DLMSIM_SOCKET=$sock TMPDIR=$scratch/tmp \
      "$bin/dlmtool" dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot)
  status=$?
  set -e
  after=$(wc -l <"$trace")
  echo "== dlmtool exit status $status"
  local lines
  lines=$(sed -n "$((before + 1)),${after}p" "$trace")
  for kind in read_disk erase_block write_disk; do
    printf '== %-12s %s\n' "$kind" "$(grep -c "\"kind\":\"$kind\"" <<<"$lines" || true)"
  done
  return "$status"
}

echo "== first run: the chip's flash is blank"
run_job
echo
echo "== second run: same files, so only the two check sectors are read"
run_job

if cmp -s -n "$(stat -c %s "$scratch/project/qx_dlm.bin")" "$scratch/project/qx_dlm.bin" "$scratch/chip/flash.bin"; then
  echo "== the chip's flash holds qx_dlm.bin"
else
  echo "== the chip's flash differs from qx_dlm.bin" >&2
  exit 1
fi
