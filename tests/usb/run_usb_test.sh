#!/usr/bin/env bash
# The chip on a real USB bus: boots Debian's kernel under qemu with a small
# initramfs in which dlmsim serves the chip as a USB gadget (functionfs on the
# dummy host controller), and runs sg3_utils, the device link and dlmtool
# jobs against it through /dev/sgN (tests/usb/guest_init.sh).
#
# usage: run_usb_test.sh BUILD_DIR
#   BUILD_DIR holds bin/dlmtool, bin/dlmsim, bin/usb_guest_link_test and
#   bin/usb_guest_figures; the kernel and the initramfs are made below it.
# environment: USB_TEST_BREAK=STEP makes that guest step fail (to prove the
#   verdict reaches the host); USB_TEST_STEPS=A,B runs only those guest
#   steps; USB_TEST_VERBOSE=1 has the guest print every
#   step's log, dlmsim's and the kernel's (in BUILD_DIR/usb-test/guest.log).
# Prints the guest's steps and, last, "usb: P passed, F failed". Exit status
# 0 when every step passed, 1 otherwise, 77 when no kernel could be had.
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
# read_counts and the verdict line.
. "$source_dir/scripts/counts.sh"
work=$build/usb-test
cache=$build/usb-kernel
mkdir -p "$cache" "$work"

# --- the kernel: linux-image-amd64 names the versioned image package ---------------
fetch_kernel() {
  cd "$cache" || return 1
  rm -f ./*.deb
  apt-get download linux-image-amd64 >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null 2>&1 && apt-get download linux-image-amd64 >/dev/null 2>&1; } || return 1
  local image
  image=$(dpkg-deb -f linux-image-amd64_*.deb Depends | sed 's/[ ,(|].*//')
  [ -n "$image" ] || return 1
  if [ ! -d "root-$image" ]; then
    apt-get download "$image" >/dev/null 2>&1 || return 1
    rm -rf "root-$image.part"
    dpkg-deb -x "$image"_*.deb "root-$image.part" || return 1
    mv "root-$image.part" "root-$image"
  fi
  rm -f ./*.deb
  echo "$image" > current
}
if ! (fetch_kernel); then
  echo "usb: cannot download Debian's kernel package; skipped"
  exit 77
fi
root=$cache/root-$(cat "$cache/current")
version=$(ls "$root/lib/modules" | head -1)
vmlinuz=$root/boot/vmlinuz-$version
depmod -b "$root" "$version" || exit 1

# --- the initramfs -------------------------------------------------------------------
rd=$work/root
rm -rf "$rd"
mkdir -p "$rd"/{bin,usr/bin,lib/modules,data/project,proc,sys,dev,tmp}
cp "$(command -v busybox)" "$rd/bin/busybox"
cp "$here/guest_init.sh" "$rd/init"
chmod 755 "$rd/init"

# Modules in the order modprobe would load them, each once.
: > "$rd/modules.list"
for m in dummy_hcd libcomposite usb_f_fs usb-storage sd_mod sg; do
  modprobe -d "$root" -S "$version" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  name=$(basename "$ko")
  cp "$ko" "$rd/lib/modules/$name"
  case $name in
    usb-storage.ko) echo "$name delay_use=0" ;;
    *) echo "$name" ;;
  esac >> "$rd/modules.list"
done

# Programs with the shared libraries they load.
copy_program() {
  cp "$1" "$rd/usr/bin/" || return 1
  ldd "$1" | awk '/=> \// { print $3 } /^[ \t]*\// { print $1 }' | while read -r lib; do
    mkdir -p "$rd$(dirname "$lib")"
    cp -L "$lib" "$rd$lib"
  done
}
for p in "$build/bin/dlmtool" "$build/bin/dlmsim" "$build/bin/usb_guest_link_test" \
         "$build/bin/usb_guest_figures" "$(command -v sg_inq)" "$(command -v sg_raw)"; do
  copy_program "$p" || { echo "usb: missing program $p"; exit 1; }
done
mkdir -p "$rd/lib64"
cp -L /lib64/ld-linux-x86-64.so.2 "$rd/lib64/"

cp -r "$source_dir/examples/." "$rd/data/project/"
head -c 512 /dev/urandom > "$rd/data/ram512.bin"

(cd "$rd" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.gz" || exit 1

# --- the boot -------------------------------------------------------------------------
append="console=ttyS0 quiet panic=-1"
[ -n "${USB_TEST_BREAK:-}" ] && append="$append usbtest.break=$USB_TEST_BREAK"
[ -n "${USB_TEST_STEPS:-}" ] && append="$append usbtest.steps=$USB_TEST_STEPS"
[ -n "${USB_TEST_VERBOSE:-}" ] && append="$append usbtest.verbose=1"
log=$work/guest.log
started=$(date +%s)
timeout 240 qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp 1 -nodefaults -nic none -display none \
  -serial stdio -no-reboot -kernel "$vmlinuz" -initrd "$work/initramfs.gz" -append "$append" \
  < /dev/null > "$log" 2>&1
qemu_status=$?
echo "usb: the guest ran $(( $(date +%s) - started )) s from boot to power-off"
tr -d '\r' < "$log" | grep -E '^(PASS|FAIL|    |FIGURE|chip disk|USB-GUEST-RESULT|insmod|dlmsim|the gadget)' 

if ! verdict=$(read_counts "USB-GUEST-RESULT: " "$log"); then
  echo "usb: the guest gave no verdict (qemu status $qemu_status); last lines:"
  tail -20 "$log"
  echo "usb: 0 passed, 1 failed"
  exit 1
fi
counts_reset
counts_add $verdict
counts_line "usb: "
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
