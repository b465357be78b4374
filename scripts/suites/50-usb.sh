#!/usr/bin/env bash
# The chip on a real USB bus: dlmsim's functionfs gadget under Debian's kernel
# in qemu, driven through /dev/sgN by sg3_utils, the device link and dlmtool
# (tests/usb/run_usb_test.sh). Then one check of the harness itself: a guest
# step broken on purpose must fail the host test.
set -u
results=$1
. scripts/lib.sh

if ! ensure_packages "${BUILD_PACKAGES[@]}" qemu-system-x86 busybox-static cpio kmod sg3-utils; then
  echo "cannot install qemu, busybox, cpio, kmod and sg3-utils"
  record_counts "$results" 50-usb 0 1
  exit 1
fi

# The programs: brought up to date in the native tree when suite 10
# configured it (or in USB_BUILD_DIR), else built in a tree of their own.
targets=(dlmtool dlmsim usb_guest_link_test usb_guest_figures)
build=${USB_BUILD_DIR:-build}
[ -f "$build/CMakeCache.txt" ] || build=build-usb-suite
build_log=$(mktemp)
if ! { { [ -f "$build/CMakeCache.txt" ] ||
         cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDLM_BUILD_BENCH=OFF; } &&
       cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"; } > "$build_log" 2>&1; then
  tail -30 "$build_log"
  rm -f "$build_log"
  echo "usb: the programs did not build"
  record_counts "$results" 50-usb 0 1
  exit 1
fi
rm -f "$build_log"

log=$(mktemp)
bash tests/usb/run_usb_test.sh "$build" | tee "$log"
status=${PIPESTATUS[0]}
usb_counts=$(read_counts "usb: " "$log")
rm -f "$log"
if [ "$status" -eq 77 ]; then
  echo "usb: skipped (no kernel package)"
  record_counts "$results" 50-usb 0 0
  exit 0
fi
if [ -z "$usb_counts" ]; then
  record_counts "$results" 50-usb 0 1
  exit 1
fi
counts_reset
counts_add $usb_counts
[ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1

# The harness: with the second of two steps broken, the guest must report one
# pass and one failure and the host test must fail.
log=$(mktemp)
USB_TEST_STEPS=sg_inq,sg_raw_ram USB_TEST_BREAK=sg_raw_ram bash tests/usb/run_usb_test.sh "$build" > "$log" 2>&1
broken_status=$?
if [ "$broken_status" -eq 1 ] && grep -q '^FAIL sg_raw_ram' "$log" && grep -qx 'usb: 1 passed, 1 failed' "$log"; then
  pass "a broken guest step fails the host test"
else
  fail "a broken guest step fails the host test (status $broken_status)"
  cat "$log"
fi
rm -f "$log"

record_counts "$results" 50-usb "$passed" "$failed"
[ "$failed" -eq 0 ]
