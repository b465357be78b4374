#!/usr/bin/env bash
# Checks scripts/counts.sh: pass/fail and the verdict line, read_counts on
# the runners' last lines, junit_counts on CTest's JUnit report (a written
# one with every kind of result, then one from a real ctest run).
#
# usage: counts_test.sh SOURCE_DIR CMAKE CTEST
set -u
src=$1
cmake=$2
ctest_dir=$(dirname "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/counts-test-XXXXXX")
trap 'rm -rf "$work"' EXIT

bad=0
# expect NAME GOT WANT
expect() {
  if [ "$2" != "$3" ]; then
    printf 'FAILED %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"
    bad=$((bad + 1))
  fi
}

. "$src/scripts/counts.sh"

# ---- pass, fail, counts_add, counts_line
out=$(
  counts_reset
  pass one
  fail two
  pass three
  counts_add 10 2
  counts_line "x: "
)
expect "pass and fail print their lines and count" "$out" "PASS one
FAIL two
PASS three
x: 12 passed, 3 failed"
expect "a fresh count is zero" "$(counts_reset; counts_line)" "0 passed, 0 failed"

# ---- read_counts PREFIX FILE: name | file contents | prefix | printed or "none"
while IFS='|' read -r name text prefix want; do
  printf "$text" >"$work/log"
  got=$(read_counts "$prefix" "$work/log") || got=none
  expect "read_counts: $name" "$got" "$want"
done <<'ROWS'
one verdict|PASS a\nwine: 3 passed, 1 failed\n|wine: |3 1
the last verdict wins|usb: 1 passed, 0 failed\nusb: 7 passed, 2 failed\n|usb: |7 2
carriage returns ignored|USB-GUEST-RESULT: 4 passed, 0 failed\r\n|USB-GUEST-RESULT: |4 0
no verdict|PASS a\nFAIL b\n|fuzz: |none
another runner's verdict|wine: 3 passed, 1 failed\n|usb: |none
text after the verdict|fuzz: 2 passed, 0 failed (of 3)\n|fuzz: |none
verdict inside a line|note: fuzz: 2 passed, 0 failed\n|fuzz: |none
empty file||fuzz: |none
ROWS
got=$(read_counts "usb: " "$work/no-such-file" 2>/dev/null) || got=none
expect "read_counts: no file" "$got" none

# ---- junit_counts on a report laid out as CTest writes it
cat >"$work/report.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="7" failures="2" disabled="1" skipped="3" hostname="" time="1" timestamp="">
	<testcase name="good" classname="good" time="0.01" status="run">
		<system-out></system-out>
	</testcase>
	<testcase name="bad" classname="bad" time="0.02" status="fail">
		<failure message=""/>
		<system-out></system-out>
	</testcase>
	<testcase name="skip_code" classname="skip_code" time="0" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out></system-out>
	</testcase>
	<testcase name="skip_text" classname="skip_text" time="0" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>[  SKIPPED ]</system-out>
	</testcase>
	<testcase name="missing" classname="missing" time="0" status="notrun">
		<skipped message="Unable to find executable"/>
		<system-out>Unable to find executable: /nonexistent/prog</system-out>
	</testcase>
	<testcase name="off" classname="off" time="0" status="disabled">
		<system-out>Disabled</system-out>
	</testcase>
	<testcase name="slow" classname="slow" time="1.03" status="fail">
		<failure message=""/>
		<system-out></system-out>
	</testcase>
</testsuite>
XML
expect "junit_counts: every kind of result" "$(junit_counts "$work/report.xml")" "1 3 3"
printf '<testsuite' >"$work/cut.xml"
got=$(junit_counts "$work/cut.xml" 2>/dev/null) || got=none
expect "junit_counts: a cut-off report fails" "$got" none

# ---- run_ctest against a real ctest: one test passes, two fail (one exits
# 1, one has no program) and one is skipped.
mkdir -p "$work/proj"
cat >"$work/proj/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(counts NONE)
enable_testing()
add_test(NAME good COMMAND true)
add_test(NAME bad COMMAND false)
add_test(NAME missing COMMAND /nonexistent/program)
add_test(NAME skipped COMMAND sh -c "exit 77")
set_tests_properties(skipped PROPERTIES SKIP_RETURN_CODE 77)
CM
if "$cmake" -S "$work/proj" -B "$work/proj/build" >"$work/cmake.log" 2>&1; then
  out=$(cd "$work/proj/build" && PATH="$ctest_dir:$PATH" run_ctest -j1; echo "status $?"; echo "counts $ctest_passed $ctest_failed $ctest_skipped")
  expect "run_ctest: counts from the report" "$(echo "$out" | grep '^counts')" "counts 1 2 1"
  expect "run_ctest: its verdict line" "$(echo "$out" | grep '^ctest: ')" "ctest: 1 passed, 2 failed, 1 skipped"
  expect "run_ctest: succeeds once it has counts" "$(echo "$out" | grep '^status')" "status 0"
  expect "run_ctest: hides the lines of passed tests" "$(echo "$out" | grep -c 'Test *#1: good .*Passed')" 0
else
  cat "$work/cmake.log"
  expect "a throwaway CTest project configures" failed ok
fi
out=$(cd "$work" && PATH="$ctest_dir:$PATH" run_ctest --test-dir "$work/nothing-here"; echo "status $?")
expect "run_ctest: no build tree is an error" "$(echo "$out" | tail -1)" "status 1"
mkdir -p "$work/empty"
printf 'cmake_minimum_required(VERSION 3.20)\nproject(empty NONE)\nenable_testing()\n' >"$work/empty/CMakeLists.txt"
if "$cmake" -S "$work/empty" -B "$work/empty/build" >"$work/cmake.log" 2>&1; then
  out=$(cd "$work/empty/build" && PATH="$ctest_dir:$PATH" run_ctest; echo "status $?")
  expect "run_ctest: a tree without tests is an error" "$(echo "$out" | tail -1)" "status 1"
fi

[ "$bad" -eq 0 ] && echo "counts helpers: all checks passed"
[ "$bad" -eq 0 ]
