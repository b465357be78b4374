#!/usr/bin/env bash
# The manual pages the build made from man/*.scd: man --warnings finds
# nothing to complain about, every page has the sections a user looks for,
# and every option the bash completion offers is described in its page.
# Usage: check_man_pages.sh SOURCE_DIR BINARY_DIR
set -u
src=$(cd "$1" && pwd)
tree=$2
passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }

for scd in "$src"/man/*.scd; do
  page=$(basename "$scd" .scd)
  gz=$tree/man/$page.gz
  if [ ! -f "$gz" ]; then
    fail "$page: $gz was not built"
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$gz" 2>&1 >/dev/null)
  if [ -z "$warnings" ]; then pass "$page: man --warnings is silent"; else fail "$page: $warnings"; fi

  text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$gz" 2>/dev/null)
  missing=""
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || missing+=" [$section]"
  done
  # The options the completion offers for this program, each in the page.
  program=${page%.*}
  options=$(bash -c '
    . "$1/completion/dlmtool.bash"
    COMP_WORDS=("$2" "-"); COMP_CWORD=1
    [ "$2" = dlmtool ] && COMP_WORDS=(dlmtool x.cfg -) && COMP_CWORD=2
    "_$2" 2>/dev/null; printf "%s\n" "${COMPREPLY[@]}"' _ "$src" "$program")
  for option in $options; do
    case $option in -w[0-9] | -ufwmode[0-9]) option=${option%[0-9]} ;; esac
    grep -qF -- "$option" <<<"$text" || missing+=" $option"
  done
  if [ -z "$missing" ]; then pass "$page: sections and every option"; else fail "$page: missing$missing"; fi
done

echo "man pages: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
