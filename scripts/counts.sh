# Counting a suite's checks, and reading CTest's results. Sourced by
# scripts/lib.sh and by the test runners under tests/ that print their own
# "NAME: P passed, F failed" line; needs bash and, for CTest, python3.

# counts_reset: starts a count; pass and fail add to it.
counts_reset() {
  passed=0
  failed=0
}
counts_reset

# pass NAME / fail NAME: one check, with its line on standard output.
pass() {
  echo "PASS $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $1"
  failed=$((failed + 1))
}

# counts_line [PREFIX]: the verdict line, "PREFIXP passed, F failed".
counts_line() { echo "${1:-}$passed passed, $failed failed"; }

# counts_add P F: adds counts taken from elsewhere (a sub-runner, ctest).
counts_add() {
  passed=$((passed + $1))
  failed=$((failed + $2))
}

# read_counts PREFIX FILE: prints "P F" from the last line of FILE that is
# exactly "PREFIXP passed, F failed" (carriage returns ignored). Fails when
# there is no such line, so a runner that died before its verdict is caught.
read_counts() {
  local prefix=$1 file=$2 line
  line=$(tr -d '\r' <"$file" | grep -E "^${prefix}[0-9]+ passed, [0-9]+ failed\$" | tail -1)
  [ -n "$line" ] || return 1
  line=${line#"$prefix"}
  echo "${line%% passed,*} $(echo "$line" | sed -E 's/.* ([0-9]+) failed$/\1/')"
}

# junit_counts FILE: prints "P F S" (passed, failed, skipped) from the JUnit
# report of `ctest --output-junit FILE`. CTest marks a test it could not start
# (no such program) as not run, like a skipped one; that counts as failed
# here, as in CTest's own summary. Only a test skipped on purpose (its skip
# return code or skip text) and a disabled one count as skipped.
junit_counts() {
  python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    status = case.get("status")
    skip = case.find("skipped")
    reason = skip.get("message", "") if skip is not None else ""
    if status == "run" and case.find("failure") is None:
        passed += 1
    elif status == "disabled" or (status == "notrun" and reason.startswith("SKIP_")):
        skipped += 1
    else:
        failed += 1
print(passed, failed, skipped)
EOF
}

# run_ctest ARGS...: runs ctest with ARGS and a JUnit report, shows its output
# without the lines of tests that passed, and sets ctest_passed, ctest_failed
# and ctest_skipped from the report. Fails when ctest left no readable report
# or ran no test at all.
run_ctest() {
  local junit counts
  junit=$(mktemp --suffix=.xml)
  ctest "$@" --output-junit "$junit" 2>&1 | grep -vE '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+:)'
  if ! counts=$(junit_counts "$junit" 2>/dev/null) || [ -z "$counts" ]; then
    rm -f "$junit"
    echo "ctest left no readable report"
    return 1
  fi
  rm -f "$junit"
  read -r ctest_passed ctest_failed ctest_skipped <<<"$counts"
  echo "ctest: $ctest_passed passed, $ctest_failed failed, $ctest_skipped skipped"
  [ $((ctest_passed + ctest_failed + ctest_skipped)) -gt 0 ] || { echo "ctest found no tests"; return 1; }
}
