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

# pass, fail and the verdict line.
. "$src/scripts/counts.sh"
# check NAME FUNCTION [ARGS...]: one check; the function runs in a subshell
# in a fresh directory of its own and fails by returning non-zero.
check() {
  local name=$1
  shift
  local dir
  dir=$(mktemp -d "$work/case-XXXXXX")
  local log=$dir.log
  if (cd "$dir" && "$@") >"$log" 2>&1; then
    pass "$name"
  else
    fail "$name"
    sed 's/^/    /' "$log" | head -40
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
  native_status=0
  "$@" >native.out 2>native.err </dev/null || native_status=$?
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
  local i x=$3 out="" hex
  for ((i = 0; i < $2; i++)); do
    x=$(((x * 1103515245 + 12345) & 0x7fffffff))
    printf -v hex '\\x%02x' $(((x >> 16) & 255))
    out+=$hex
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
check "pass-through transport on played drives" unit_program windows_transport_test
check "code page 936 text" unit_program cp936_test
check "files, directories and statuses" unit_program platform_test

# The maker is looked for beside the program first, then in the working
# directory: put the test and the stand-in maker side by side.
hidden_child_start() {
  cp "$win_bin/run_hidden_test.exe" .
  cp "$win_bin/stand_in_maker.exe" ufw_make.exe
  wine ./run_hidden_test.exe </dev/null
}
check "hidden child start and 32-bit exit status" hidden_child_start

# ---- ufw_make.exe --------------------------------------------------------

# Inputs of the maker cases, the same on both sides.
ufw_inputs() {
  mkdir -p sub
  pattern_file app.bin 5000 1
  cp app.bin sub/app.bin
  pattern_file averyveryverylongname.bin 700 2
  pattern_file small.bin 512 3
}

# both_sides SETUP WIN_PROGRAM NATIVE_PROGRAM ARGS...: runs the Windows
# program in win/ and the Linux one in lin/, each after SETUP.
both_sides() {
  local setup=$1 win_program=$2 native_program=$3
  shift 3
  mkdir win lin
  (cd win && $setup && win_run "$win_program" "$@") || return 1
  (cd lin && $setup && native_run "$native_program" "$@" && echo "$native_status" >native.status) || return 1
  win_status=$(cat win/win.status 2>/dev/null || echo none)
  native_status=$(cat lin/native.status)
}

# status8 STATUS: what a POSIX parent sees of a 32-bit status (0..255 kept,
# anything else 255).
status8() { local s=$(($1)); [ "$s" -le 255 ] && echo "$s" || echo 255; }

# same_outputs: the files both programs left, and their messages, are the same.
same_outputs() {
  local ours='^(win|native)\.(out|err|status)$'
  local wl ll
  wl=$(cd win && find . -type f | sed 's|^\./||' | grep -Ev "$ours" | sort)
  ll=$(cd lin && find . -type f | sed 's|^\./||' | grep -Ev "$ours" | sort)
  expect_eq "files left" "$(echo $wl)" "$(echo $ll)" || return 1
  local f
  for f in $wl; do same_file "$f" "win/$f" "lin/$f" || return 1; done
  crlf_to_lf win/win.out >win.text
  if ! cmp -s win.text lin/native.out; then
    echo "messages differ:"
    diff win.text lin/native.out | head -20
    return 1
  fi
}

# ufw_case WIN_STATUS ARGS...
ufw_case() {
  local want=$1
  shift
  both_sides ufw_inputs "$win_bin/ufw_make.exe" "$native_bin/ufw_make" "$@" || return 1
  expect_eq "Windows exit status" "$win_status" "$want" || return 1
  expect_eq "Linux exit status" "$native_status" "$(status8 "$want")" || return 1
  same_outputs
}

check "ufw_make: name from the file" ufw_case 0x00000000 -fi app.bin -ld 0x1F02000 -rd 2000000 -fo out.ufw -ver 12 -len 100
check "ufw_make: mode word and -no_version" ufw_case 0x00000000 \
  -fi small.bin -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 1 -ver 80000000 -len 0 -no_version
check "ufw_make: name of 12 or more characters" ufw_case 0x00000000 -fi averyveryverylongname.bin -ld 0 -rd 0 -fo o.ufw -mode 4
check "ufw_make: name after the directory" ufw_case 0x00000000 -fi sub/app.bin -ld 10 -rd 20 -fo o.ufw -len 4096
check "ufw_make: unknown mode ends with -1" ufw_case 0xFFFFFFFF -fi app.bin -ld 0 -rd 0 -fo out.ufw -mode 5
check "ufw_make: input cannot be opened" ufw_case 0x00000002 -fi none.bin -ld 0 -rd 0 -fo out.ufw
check "ufw_make: output cannot be created" ufw_case 0x00000003 -fi app.bin -ld 0 -rd 0 -fo nodir/out.ufw

# A Windows path: the name is what follows the last backslash.
ufw_backslash_path() {
  mkdir win lin
  (cd win && ufw_inputs && win_run "$win_bin/ufw_make.exe" -fi 'sub\app.bin' -ld 0 -rd 0 -fo o.ufw)
  (cd lin && ufw_inputs && native_run "$native_bin/ufw_make" -fi sub/app.bin -ld 0 -rd 0 -fo o.ufw)
  expect_eq "Windows exit status" "$(cat win/win.status)" 0x00000000 || return 1
  same_file o.ufw win/o.ufw lin/o.ufw
}
check "ufw_make: name after a backslash" ufw_backslash_path

# The header of one update file, laid out by hand from the format (input: the
# 600 bytes (7i + 3) mod 256; name APP.BIN, -ld 0x1F02000, -rd 2000000,
# version 0x12, tail from content offset 512).
ufw_golden_header() {
  local i out="" hex
  for ((i = 0; i < 600; i++)); do
    printf -v hex '\\x%02x' $(((i * 7 + 3) & 255))
    out+=$hex
  done
  printf "$out" >app.bin
  win_run "$win_bin/ufw_make.exe" -fi app.bin -ld 0x1F02000 -rd 2000000 -fo out.ufw -ver 12 -len 0
  expect_eq "exit status" "$win_status" 0x00000000 || return 1
  expect_eq "header bytes 0-63" "$(hex_bytes out.ufw 0 64)" \
    51585f55444649522e0000006c4300000002000058020000fea600000020f001000000024150502e42494e00000000001200000000020000580000009df90000 ||
    return 1
  expect_eq "header bytes 64-511" "$(hex_bytes out.ufw 64 448 | tr -d 0)" "" || return 1
  expect_eq "file size" "$(stat -c %s out.ufw)" 1112 || return 1
  tail -c 600 out.ufw | cmp - app.bin
}
check "ufw_make: golden header" ufw_golden_header

# Too few arguments: the usage text in code page 936, no key awaited without
# a console, exit code 1.
ufw_usage() {
  win_run "$win_bin/ufw_make.exe" -fi a.bin -fo
  expect_eq "exit status" "$win_status" 0x00000001 || return 1
  crlf_to_lf win.out | tail -n +2 >usage.text
  printf '%b' '-fi [\xca\xe4\xc8\xeb\xce\xc4\xbc\xfe\xc3\xfb] -ld [\xbc\xd3\xd4\xd8\xb5\xd8\xd6\xb7] -rd [\xd4\xcb\xd0\xd0\xb5\xd8\xd6\xb7] -fo [\xca\xe4\xb3\xf6\xce\xc4\xbc\xfe\xc3\xfb]\nPress any key to continue\n' >want.text
  cmp usage.text want.text || { od -c usage.text | head; return 1; }
  # The first line is the build date, "Mmm dd yyyy".
  head -c 11 win.out | grep -Eq '^[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}$'
}
check "ufw_make: usage text in code page 936" ufw_usage

# ---- dlmtool.exe -----------------------------------------------------------

# A sample project: the example configuration, a ".boot" file (one table
# entry with a 100-byte region at 16), code files and two resource
# directories, names in mixed case so the packing order shows.
job_inputs() {
  cp "$src/examples/dlm_tools.cfg" .
  pattern_file u.boot 3000 11
  printf '\x01\x00\x64\x00\x00\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00' | dd of=u.boot conv=notrunc status=none
  pattern_file first.bin 1000 1
  pattern_file sdram.apu 70000 2
  mkdir -p res pics
  pattern_file res/a.txt 700 3
  pattern_file res/B.bin 1500 4
  pattern_file res/c_long_name.dat 33 5
  pattern_file pics/logo.bmp 2100 6
}

# dlmtool_case WIN_STATUS ARGS...: dlmtool.exe and the Linux dlmtool, no chip,
# on the same project: the same status (8 bits on Linux), the same files
# (image copy, packages, flash description, update file) and messages.
# dlmtool.exe runs from the project directory with ufw_make.exe beside it.
dlmtool_case() {
  local want=$1
  shift
  mkdir win lin
  (cd win && job_inputs && cp "$win_bin/dlmtool.exe" "$win_bin/ufw_make.exe" . &&
    win_run "$PWD/dlmtool.exe" "$@" && rm dlmtool.exe ufw_make.exe) || return 1
  (cd lin && job_inputs && TMPDIR=$PWD/../lintmp && mkdir -p "$TMPDIR" && export TMPDIR &&
    native_run "$native_bin/dlmtool" "$@" && echo "$native_status" >native.status) || return 1
  expect_eq "Windows exit status" "$(cat win/win.status)" "$want" || return 1
  expect_eq "Linux exit status" "$(cat lin/native.status)" "$(status8 "$want")" || return 1
  [ -s win/qx_dlm.bin ] || { echo "no image copy"; return 1; }
  same_outputs
}

check "dlmtool: offline image equal to the Linux build's" dlmtool_case 0x00000000 \
  dlm_tools.cfg -dev zk40 -tonorflash -f u.boot first.bin sdram.apu -resource res pics 512
check "dlmtool: offline image with alignment and resources only" dlmtool_case 0x00000000 \
  dlm_tools.cfg -tonorflash -aline 4096 -f sdram.apu -resource pics 4096
update_file_case() {
  dlmtool_case "$@" || return 1
  [ -s win/QX_PM20.ufw ] || { echo "no update file"; return 1; }
  [ ! -e win/QX_PM20.tmp ] || { echo "QX_PM20.tmp left behind"; return 1; }
}
check "dlmtool: update file made by ufw_make.exe" update_file_case 0x00000004 \
  dlm_tools.cfg -f u.boot first.bin sdram.apu -resource res pics 512 -ufwmode3 -no_version

# The maker's status reaches dlmtool.exe whole and becomes its own: a
# stand-in maker beside dlmtool.exe ends with STATUS.
maker_status_case() {
  local status=$1 want_line=$2
  job_inputs
  cp "$win_bin/dlmtool.exe" .
  cp "$win_bin/stand_in_maker.exe" ufw_make.exe
  printf '%s' "$status" >maker_status.txt
  win_run "$PWD/dlmtool.exe" dlm_tools.cfg -f first.bin sdram.apu -resource res 512 -ufwmode1
  expect_eq "exit status" "$win_status" "$(printf '0x%08X' "0x$status")" || return 1
  expect_eq "maker parameters" "$(cat maker_args.txt)" \
    "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 1 -ver 0 -len 4096" || return 1
  [ ! -e QX_PM20.tmp ] || { echo "QX_PM20.tmp left behind"; return 1; }
  crlf_to_lf win.out | tail -n 2 >tail.text
  printf 'ufw Exit code : 0x%s\nmake ufw file fail' "$want_line" >want.text
  cmp tail.text want.text || { cat tail.text; return 1; }
}
check "dlmtool: maker status above 255" maker_status_case 1234 '    1234'
check "dlmtool: maker status 3" maker_status_case 3 '       3'
check "dlmtool: maker status with the top bit set" maker_status_case 80000005 80000005

# No maker anywhere: the start fails without an error box, and the job ends
# as a failed maker with status 0xFFFFFFFF, its input deleted.
maker_missing() {
  job_inputs
  cp "$win_bin/dlmtool.exe" .
  win_run "$PWD/dlmtool.exe" dlm_tools.cfg -f first.bin sdram.apu -ufwmode1
  expect_eq "exit status" "$win_status" 0xFFFFFFFF || return 1
  [ ! -e QX_PM20.tmp ] || { echo "QX_PM20.tmp left behind"; return 1; }
  crlf_to_lf win.out | tail -n 2 >tail.text
  printf 'ufw Exit code : 0xFFFFFFFF\nmake ufw file fail' >want.text
  cmp tail.text want.text || { cat tail.text; return 1; }
}
check "dlmtool: maker missing" maker_missing

# The flash description's errors come out in code page 936.
flash_description_error() {
  local want_status=$1 want_text=$2 variant=$3
  job_inputs
  case $variant in
    no-res) rm -rf res ;;
    bad-line) sed -i 's/^\(FLASH_DESCRIBE_BEGIN.*\)$/\1\n12,X,1,2,3,4,5;/I' dlm_tools.cfg
              grep -q '^12,X,1,2,3,4,5;' dlm_tools.cfg || { echo "no flash description section"; return 1; } ;;
  esac
  win_run "$win_bin/dlmtool.exe" dlm_tools.cfg -tonorflash -f first.bin
  expect_eq "exit status" "$win_status" "$want_status" || return 1
  printf '%b' "$want_text" >want.text
  if ! LC_ALL=C grep -aqF -f want.text win.out; then
    echo "no code page 936 message in:"
    od -c win.out | tail -8
    return 1
  fi
}
check "dlmtool: flash description file not made, code page 936" flash_description_error 0x00000007 \
  '\xb4\xa6\xc0\xedFlash\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xca\xa7\xb0\xdc' no-res
check "dlmtool: flash description line malformed, code page 936" flash_description_error 0x00000001 \
  '\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb8\xf1\xca\xbd\xb2\xbb\xb6\xd4' bad-line

# Error display mode 18: the report line first, then the message box (which
# a headless wine closes at once), and the code stays the exit status.
message_box_mode() {
  job_inputs
  win_run "$win_bin/dlmtool.exe" dlm_tools.cfg -w0 -f missing.bin
  expect_eq "exit status" "$win_status" 0x00000002 || return 1
  crlf_to_lf win.out | tail -n 1 >last.text
  printf 'down err @ line %s : 2-DLM_ERR_FILE_NOEXIST\n' "$(grep -o 'line [0-9]*' last.text | cut -d' ' -f2)" >want.text
  cmp last.text want.text || { cat last.text; return 1; }
  if LC_ALL=C grep -q $'\a' win.out; then
    echo "bell rung in mode 18"
    return 1
  fi
}
check "dlmtool: error display mode 18" message_box_mode

# The operator console without a console window: its help text, a command,
# and q ending with status 0.
console_session() {
  cp "$src/examples/dlm_tools.cfg" dlm_tools-new.cfg
  printf 'ds\nq\n' >session.txt
  wine "$win_bin/exit_status.exe" win.status "$(winpath "$win_bin/dlmtool.exe")" <session.txt >win.out 2>win.err
  expect_eq "exit status" "$(cat win.status)" 0x00000000 || return 1
  crlf_to_lf win.out >out.text
  grep -q '^ds    - Show disk status$' out.text || { echo "no help text"; head out.text; return 1; }
  grep -q '^? for help$' out.text || { echo "no '? for help'"; return 1; }
  grep -Eq '^>?Show disk status$' out.text || { echo "ds not answered:"; tail -5 out.text; return 1; }
}
check "dlmtool: operator console" console_session

counts_line "wine: "
[ "$failed" -eq 0 ]
