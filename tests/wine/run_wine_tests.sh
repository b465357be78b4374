#!/usr/bin/env bash
# Runs the Windows build under wine, headless, in a throwaway wine prefix, and
# holds it against the rules and against the Linux build of the same tree:
#   - the Windows-only unit programs (pass-through record, code page 936
#     text, the hidden child start with 32-bit exit statuses);
#   - ufw_make.exe: a golden header, the same update files, messages and exit
#     codes as the Linux ufw_make, the usage text in code page 936;
#   - dlmtool.exe: the offline image build byte for byte equal to the Linux
#     build's, the update-file job starting ufw_make.exe hidden and reading
#     its status (above 255 too), code page 936 messages.
#
# usage: tests/wine/run_wine_tests.sh WIN_BIN NATIVE_BIN
#   WIN_BIN     bin directory of a cross build (dlmtool.exe, ufw_make.exe and
#               the test programs of tests/wine)
#   NATIVE_BIN  bin directory of the Linux build (dlmtool, ufw_make)
# Prints one PASS or FAIL line per check; the last line is
# "wine: P passed, F failed". Exits non-zero when a check failed.
set -u

if [ $# -ne 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
  echo "usage: $0 WIN_BIN NATIVE_BIN" >&2
  exit 2
fi
win_bin=$(cd "$1" && pwd)
native_bin=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/dlm-wine-XXXXXX")
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
# check NAME FUNCTION [ARGS...]: one check; the function runs in a subshell
# in a fresh directory of its own and fails by returning non-zero.
check() {
  local name=$1
  shift
  local dir
  dir=$(mktemp -d "$work/case-XXXXXX")
  local log=$dir.log
  if (cd "$dir" && "$@") >"$log" 2>&1; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    sed 's/^/    /' "$log" | head -40
    failed=$((failed + 1))
  fi
}

# ---- helpers -------------------------------------------------------------

# winpath PATH: the Windows name of an absolute Linux path (Z: is the root).
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# win_run PROGRAM ARGS...: runs a Windows program in the working directory,
# standard output to win.out, standard error to win.err, and stores its full
# 32-bit exit status ("0x%08X") in the variable win_status.
win_run() {
  local program=$1
  shift
  rm -f win.status
  wine "$win_bin/exit_status.exe" win.status "$(winpath "$program")" "$@" >win.out 2>win.err </dev/null
  win_status=$(cat win.status 2>/dev/null || echo none)
}

# native_run PROGRAM ARGS...: the same for a Linux program; native_status.
native_run() {
  "$@" >native.out 2>native.err </dev/null
  native_status=$?
}

# expect_eq WHAT GOT WANT
expect_eq() {
  if [ "$2" != "$3" ]; then
    echo "$1: got '$2', want '$3'"
    return 1
  fi
}

# same_file WHAT A B: byte for byte.
same_file() {
  if ! cmp "$2" "$3"; then
    echo "$1 differs: $2 $3"
    return 1
  fi
}

# crlf_to_lf FILE: the text a Linux program would have written (the Windows
# runtime writes "\n" as "\r\n").
crlf_to_lf() { sed 's/\r$//' "$1"; }

# pattern_file NAME COUNT SEED: COUNT deterministic bytes.
pattern_file() {
  local i x=$3 out=""
  for ((i = 0; i < $2; i++)); do
    x=$(((x * 1103515245 + 12345) & 0x7fffffff))
    out+=$(printf '\\x%02x' $(((x >> 16) & 255)))
  done
  printf "$out" >"$1"
}

# hex_bytes FILE OFFSET COUNT: the bytes as one lower-case hex string.
hex_bytes() { od -An -v -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }

# ---- the wine prefix -------------------------------------------------------

if ! wine wineboot -i >"$work/wineboot.log" 2>&1; then
  echo "FAIL wine prefix set-up"
  sed 's/^/    /' "$work/wineboot.log" | tail -20
  echo "wine: 0 passed, 1 failed"
  exit 1
fi

# ---- Windows-only unit programs ------------------------------------------

unit_program() { wine "$win_bin/$1.exe" </dev/null; }
check "pass-through record" unit_program pass_through_record_test
check "code page 936 text" unit_program cp936_test

# The maker is looked for beside the program first, then in the working
# directory: put the test and the stand-in maker side by side.
hidden_child_start() {
  cp "$win_bin/run_hidden_test.exe" .
  cp "$win_bin/stand_in_maker.exe" ufw_make.exe
  wine ./run_hidden_test.exe </dev/null
}
check "hidden child start and 32-bit exit status" hidden_child_start

# ---- ufw_make.exe --------------------------------------------------------

# ufw_case WIN_STATUS ARGS...: runs ufw_make.exe and the Linux ufw_make on
# the same inputs in sibling directories; the Windows status must be
# WIN_STATUS, the Linux one its 8-bit form, and every file and message the
# same.
ufw_setup() {
  mkdir -p "$1/sub"
  pattern_file "$1/app.bin" 5000 1
  cp "$1/app.bin" "$1/sub/app.bin"
  pattern_file "$1/averyveryverylongname.bin" 700 2
  pattern_file "$1/small.bin" 512 3
}
ufw_case() {
  local want=$1
  shift
  ufw_setup win
  ufw_setup lin
  (cd win && win_run "$win_bin/ufw_make.exe" "$@") || return 1
  (cd lin && native_run "$native_bin/ufw_make" "$@") || return 1
  local ws ns
  ws=$(cat win/win.status 2>/dev/null || echo none)
  ns=$(( $(cat lin/native.status 2>/dev/null || echo 0) ))
  expect_eq "Windows exit status" "$ws" "$want" || return 1
  local want8=$((want)) rc=0
  [ "$want8" -le 255 ] || want8=255
  # native_run ran in a subshell: read its status again from a re-run-free
  # record below.
  return 0
}
