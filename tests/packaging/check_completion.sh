#!/usr/bin/env bash
# The bash completion, sourced into plain bash (no bash-completion package),
# in a scratch directory holding a project: one row per case, the line being
# completed and the words expected.
# Usage: check_completion.sh SOURCE_DIR
set -u
src=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
mkdir res chip
touch dlm_tools.cfg other.cfg u.boot zk40loader.bin zk60loader.bin

# name | words of the line, the last one being completed | expected, sorted
cases='first argument: configurations and directories|dlmtool |chip dlm_tools.cfg other.cfg res
options after the configuration|dlmtool dlm_tools.cfg -to|-todisk -tonandflash -tonorflash -tosd -tosdram
-strict is offered|dlmtool dlm_tools.cfg -st|-strict
files after -f|dlmtool dlm_tools.cfg -f |chip dlm_tools.cfg other.cfg res u.boot zk40loader.bin zk60loader.bin
more files after -f FILE|dlmtool dlm_tools.cfg -f u.boot z|zk40loader.bin zk60loader.bin
directories after -resource|dlmtool dlm_tools.cfg -resource |chip res
more directories after -resource DIR|dlmtool dlm_tools.cfg -resource res r|res
families after -dev, from the loaders here|dlmtool dlm_tools.cfg -dev |zk40 zk60
nothing after a value option|dlmtool dlm_tools.cfg -aline |
-format words|dlmtool dlm_tools.cfg -format |cfg vm
ufw_make: files after -fi|ufw_make -fi u|u.boot
ufw_make: kinds after -mode|ufw_make -mode |1 2 3 4
dlminspect: directories after --extract|dlminspect --extract |chip res
dlminspect: options|dlminspect --e|--extract
dlmsim: media|dlmsim --socket s --medium n|nand nor
dlmsim: directories after --state|dlmsim --state |chip res
dlmsim: subcommands|dlmsim |dump plug shutdown unplug'

passed=0
failed=0
while IFS='|' read -r name line expected; do
  got=$(bash -c '
    . "$1/completion/dlmtool.bash"
    read -r -a COMP_WORDS <<<"$2"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    f=$(complete -p "${COMP_WORDS[0]}" | sed -E "s/.*-F ([^ ]+).*/\1/")
    "$f"
    printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' _ "$src" "$line")
  if [ "$got" = "$expected" ]; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name: [$line] gave [$got], expected [$expected]"
    failed=$((failed + 1))
  fi
done <<<"$cases"

echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
