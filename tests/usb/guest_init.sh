#!/bin/busybox sh
# /init of the USB test guest. Sets up a USB gadget whose only function is
# dlmsim's functionfs front end, binds it to the dummy host controller so the
# kernel attaches it as sda with an sg node, and runs every step through that
# node. The last line is the verdict the host reads:
#   USB-GUEST-RESULT: <passed> passed, <failed> failed
# Kernel command line: usbtest.break=STEP makes that step fail on purpose, to
# show the host notices; usbtest.steps=A,B runs only those steps;
# usbtest.verbose=1 prints every log at the end. The fault case counts on
# being the session's first flash write, so a selection that writes flash
# includes fault_job.
/bin/busybox --install -s /bin
export PATH=/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
echo 0 > /proc/sys/kernel/printk

BREAK=$(sed -n 's/.*usbtest\.break=\([^ ]*\).*/\1/p' /proc/cmdline)
STEPS=$(sed -n 's/.*usbtest\.steps=\([^ ]*\).*/\1/p' /proc/cmdline)
VERBOSE=$(sed -n 's/.*usbtest\.verbose=\([^ ]*\).*/\1/p' /proc/cmdline)
passed=0
failed=0
now() { cut -d' ' -f1 /proc/uptime; }

# step NAME COMMAND...: runs the command with its output in /tmp/NAME.log.
step() {
  name=$1
  shift
  case ",${STEPS:-$name}," in *",$name,"*) ;; *) return 0 ;; esac
  t0=$(now)
  if [ "$BREAK" = "$name" ]; then
    echo "step $name broken on purpose" > /tmp/$name.log
    false
  else
    "$@" > /tmp/$name.log 2>&1
  fi
  rc=$?
  t1=$(now)
  secs=$(awk "BEGIN { printf \"%.2f\", $t1 - $t0 }")
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS $name (${secs}s)"
  else
    failed=$((failed + 1))
    echo "FAIL $name (status $rc, ${secs}s)"
    { grep -A8 "Failure" /tmp/$name.log | head -60; tail -n 25 /tmp/$name.log; } | sed 's/^/    /'
  fi
  eval "secs_$name=$secs"
}

finish() {
  if [ -n "$VERBOSE" ]; then
    for f in /tmp/*.log; do
      echo "==== $f"
      cat "$f"
    done
    dmesg | tail -40
  fi
  echo "USB-GUEST-RESULT: $passed passed, $failed failed"
  sync
  poweroff -f
}

while read -r module args; do
  insmod /lib/modules/$module $args 2>/dev/null || echo "insmod $module failed"
done < /modules.list

# --- the gadget ------------------------------------------------------------------
mount -t configfs none /sys/kernel/config
G=/sys/kernel/config/usb_gadget/chip
mkdir -p $G/strings/0x409 $G/configs/c.1 $G/functions/ffs.chip
echo 0x1d6b > $G/idVendor
echo 0x0104 > $G/idProduct
echo dlmsim > $G/strings/0x409/manufacturer
echo "simulated chip" > $G/strings/0x409/product
echo 0001 > $G/strings/0x409/serialnumber
ln -s $G/functions/ffs.chip $G/configs/c.1/
mkdir -p /dev/ffs-chip
mount -t functionfs chip /dev/ffs-chip

mkdir -p /tmp/chip
# The fault case is the first flash write of the session: its first CRC check
# answers a wrong CRC.
[ -n "$VERBOSE" ] && export DLMSIM_FFS_LOG=1
dlmsim --ffs /dev/ffs-chip --state /tmp/chip --trace /tmp/trace.jsonl \
  --fault check_disk_crc@1:crc > /tmp/dlmsim.log 2>&1 &

wait_for() {  # wait_for TENTHS COMMAND...
  n=$1
  shift
  while ! "$@" 2>/dev/null; do
    n=$((n - 1))
    [ $n -le 0 ] && return 1
    sleep 0.1
  done
}
if ! wait_for 50 test -e /dev/ffs-chip/ep2; then
  echo "dlmsim did not set up functionfs"
  cat /tmp/dlmsim.log
  failed=$((failed + 1))
  finish
fi
echo dummy_udc.0 > $G/UDC
if ! wait_for 150 sh -c 'ls /sys/block/sda/device/scsi_generic/ | grep -q sg'; then
  echo "the gadget did not become a disk with an sg node"
  cat /tmp/dlmsim.log
  dmesg | tail -20
  failed=$((failed + 1))
  finish
fi
SG=/dev/$(ls /sys/block/sda/device/scsi_generic/)
echo "chip disk: sda, $SG"

# --- independent clients ----------------------------------------------------------
check_inquiry() {
  sg_inq "$SG" > /tmp/inq.txt || return 1
  cat /tmp/inq.txt
  grep -q 'Vendor identification: ZK40 *$' /tmp/inq.txt &&
    grep -q 'Product identification: UBOOT1.00 *$' /tmp/inq.txt
}
step sg_inq check_inquiry

# RAM write (0xFB 0x06) of 512 bytes at 0x1040000 with the CRC in bytes 9-10,
# low byte first, then RAM read (0xFD 0x07) of the same range.
ram_round_trip() {
  set -- $(usb_guest_figures --crc16 /data/ram512.bin)
  sg_raw -s 512 -i /data/ram512.bin "$SG" FB 06 01 04 00 00 02 00 00 $1 $2 00 00 00 00 00 || return 1
  sg_raw -r 512 -o /tmp/ram512.back "$SG" FD 07 01 04 00 00 02 00 00 00 00 00 00 00 00 00 || return 1
  cmp /data/ram512.bin /tmp/ram512.back
}
step sg_raw_ram ram_round_trip

# --- dlmtool jobs -------------------------------------------------------------------------
mkdir -p /tmp/work /tmp/dlmtmp
cp -r /data/project/. /tmp/work/
# A larger resource, so the image spans several erase blocks.
head -c 327680 /dev/urandom > /tmp/work/res/big.bin
export TMPDIR=/tmp/dlmtmp
cd /tmp/work

writes() { grep -c '"kind":"write_disk"' /tmp/trace.jsonl; }
typical_job() {
  dlmtool dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot
}

# Fault case: the chip answers a wrong CRC for the first chunk written; the
# job must stop with the verification status, not claim success.
fault_job() {
  typical_job
  rc=$?
  echo "exit status $rc"
  [ $rc -eq 1 ] && grep -q 'write file to Flash error 0x00000001' /tmp/fault_job.log
}
step fault_job fault_job

step link_tests usb_guest_link_test --gtest_color=no
step figures usb_guest_figures /data/project/zk40loader.bin

first_job() {
  before=$(writes)
  typical_job || return 1
  grep -q 'write file to Flash ok' /tmp/first_job.log || return 1
  writes_first=$(($(writes) - before))
  echo "write_disk commands: $writes_first"
  [ "$writes_first" -gt 0 ]
}
step first_job first_job

# Unchanged inputs: the incremental writer finds every block equal and sends
# no write command.
rerun_job() {
  before=$(writes)
  typical_job || return 1
  grep -q 'write file to Flash ok' /tmp/rerun_job.log || return 1
  writes_rerun=$(($(writes) - before))
  echo "write_disk commands: $writes_rerun"
  [ "$writes_rerun" -eq 0 ]
}
step rerun_job rerun_job

# 16 bytes of one resource changed in place: only the blocks that differ
# (the one holding them and block 0 with the headers) are written again.
changed_job() {
  head -c 16 /dev/urandom | dd of=res/big.bin bs=1 seek=300000 conv=notrunc 2>/dev/null
  before=$(writes)
  typical_job || return 1
  grep -q 'write file to Flash ok' /tmp/changed_job.log || return 1
  writes_changed=$(($(writes) - before))
  echo "write_disk commands: $writes_changed"
  [ "$writes_changed" -gt 0 ] && [ "$writes_changed" -lt "$writes_first" ]
}
step changed_job changed_job

# Read job: the image just written comes back byte for byte.
read_job() {
  size=$(wc -c < qx_dlm.bin)
  dlmtool dlm_tools.cfg -dev zk40 -read flash_back.bin "0-$size" || return 1
  head -c "$size" flash_back.bin > flash_head.bin
  cmp qx_dlm.bin flash_head.bin
}
step read_job read_job

[ -n "${secs_first_job:-}" ] && [ -n "${secs_rerun_job:-}" ] &&
  echo "FIGURE typical write job: ${secs_first_job}s, unchanged rerun: ${secs_rerun_job}s," \
    "write_disk commands: ${writes_first:-?}, then ${writes_rerun:-?}, after one resource changed ${writes_changed:-?}"
grep FIGURE /tmp/figures.log 2>/dev/null
finish
