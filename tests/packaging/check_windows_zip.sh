#!/usr/bin/env bash
# The Windows ZIP, unpacked, under wine: the layout (win64\ and win32\, each
# with the programs, the sample project, README.txt and LICENSE.txt), every
# program importing only system DLLs, and both trees' programs run from the
# unpacked folders: the README's command line in examples\ (no chip under
# wine, so the image is built offline) gives an image whose zones equal the
# Linux build's, ufw_make.exe makes the same update file as the Linux
# ufw_make, and dlminspect.exe finds the image clean.
#
# usage: check_windows_zip.sh ZIP NATIVE_BIN
# Prints one PASS or FAIL line per check; the last line is
# "windows zip: P passed, F failed".
set -u
zip=$(readlink -f "$1")
native_bin=$(cd "$2" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/dlm-zip-XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
finish() { echo "windows zip: $passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit; }

mkdir "$work/unpacked"
if ! unzip -q "$zip" -d "$work/unpacked"; then
  fail "unzip $(basename "$zip")"
  finish
fi
top=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -1)

missing=""
for arch in win64 win32; do
  for f in dlmtool.exe ufw_make.exe dlminspect.exe README.txt LICENSE.txt \
           examples/dlm_tools.cfg examples/zk40loader.bin examples/u.boot examples/sdram.apu examples/res; do
    [ -e "$top/$arch/$f" ] || missing+=" $arch/$f"
  done
done
if [ -z "$missing" ]; then
  pass "layout: win64 and win32 each with the programs, examples, README.txt, LICENSE.txt"
else
  fail "layout: missing$missing"
fi
if grep -q 'elevated prompt\|Run as administrator' "$top/win64/README.txt" && grep -q 'same folder as dlmtool.exe' "$top/win64/README.txt"; then
  pass "README.txt: elevated prompt, ufw_make.exe beside dlmtool.exe"
else
  fail "README.txt: elevated prompt, ufw_make.exe beside dlmtool.exe"
fi

bad=""
for arch in win64 win32; do
  for exe in "$top/$arch"/*.exe; do
    machine=$(x86_64-w64-mingw32-objdump -f "$exe" | awk '/file format/ {print $NF}')
    case $arch:$machine in win64:pei-x86-64 | win32:pei-i386) ;; *) bad+=" $arch/$(basename "$exe"):$machine" ;; esac
    for d in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}'); do
      case ${d,,} in
        kernel32.dll | msvcrt.dll | user32.dll | shell32.dll | advapi32.dll) ;;
        *) bad+=" $arch/$(basename "$exe"):$d" ;;
      esac
    done
  done
done
if [ -z "$bad" ]; then pass "64-bit programs in win64, 32-bit in win32, system DLLs only"; else fail "programs:$bad"; fi

if ! wine wineboot -i >"$work/wineboot.log" 2>&1; then
  tail -20 "$work/wineboot.log"
  fail "wine prefix set-up"
  finish
fi

# The reference: the Linux programs on a copy of the same examples.
ref=$work/ref
cp -r "$top/win64/examples" "$ref"
(cd "$ref" && TMPDIR=$work "$native_bin/dlmtool" dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot \
   >/dev/null 2>&1 </dev/null &&
 "$native_bin/dlminspect" --extract "$work/ref-zones" qx_dlm.bin >/dev/null &&
 "$native_bin/ufw_make" -fi sdram.apu -fo ref.ufw -ld 30000000 -rd 30000000 -mode 1 -ver 100 -len 0 >/dev/null) ||
  fail "the Linux programs on the examples"

for arch in win64 win32; do
  dir=$top/$arch
  # As the README shows it: from examples\, the programs one folder up.
  out=$(cd "$dir/examples" && wine ../dlmtool.exe dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot 2>&1 </dev/null)
  status=$?
  if [ $status -eq 0 ] && [ -s "$dir/examples/qx_dlm.bin" ] &&
     "$native_bin/dlminspect" --extract "$work/$arch-zones" "$dir/examples/qx_dlm.bin" >/dev/null &&
     diff -r "$work/ref-zones" "$work/$arch-zones" >/dev/null; then
    pass "$arch: dlmtool.exe from the unpacked ZIP builds the image of the examples (zones equal to the Linux build's)"
  else
    echo "$out" | tail -10
    fail "$arch: dlmtool.exe from the unpacked ZIP (status $status)"
  fi

  (cd "$dir/examples" && wine ../ufw_make.exe -fi sdram.apu -fo win.ufw -ld 30000000 -rd 30000000 -mode 1 -ver 100 -len 0 >/dev/null 2>&1 </dev/null)
  status=$?
  if [ $status -eq 0 ] && cmp -s "$dir/examples/win.ufw" "$ref/ref.ufw"; then
    pass "$arch: ufw_make.exe makes the Linux ufw_make's update file"
  else
    fail "$arch: ufw_make.exe (status $status)"
  fi

  out=$(cd "$dir/examples" && wine ../dlminspect.exe qx_dlm.bin 2>&1 </dev/null)
  status=$?
  if [ $status -eq 0 ] && grep -q 'result: clean' <<<"$out"; then
    pass "$arch: dlminspect.exe finds the image clean"
  else
    echo "$out" | tail -5
    fail "$arch: dlminspect.exe (status $status)"
  fi
done

finish
