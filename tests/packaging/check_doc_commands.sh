#!/usr/bin/env bash
# Every shell block of README.md and docs/*.md, as written, from the
# repository root. Fenced blocks are classified by their info string:
#   sh        run with bash -e in a scratch copy of the repository whose
#             build/ is the tree under test; must end with status 0
#   sh norun  needs root, a chip or a suite's whole build (the named suite
#             runs it): syntax-checked, and every repository path, program
#             in build/bin and --preset it names must exist
#   bat       a Windows prompt (suite 40-wine runs it under wine)
#   text      output, not a command
# A fence without one of these fails, so no block goes unclassified.
# Usage: check_doc_commands.sh SOURCE_DIR BINARY_DIR
set -u
src=$(cd "$1" && pwd)
tree=$(cd "$2" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
repo=$scratch/repo
mkdir -p "$repo" "$scratch/tmp" "$scratch/home" "$scratch/blocks"
tar -C "$src" --exclude='./build*' --exclude=./.git --exclude=./out -cf - . | tar -C "$repo" -xf -
ln -s "$tree" "$repo/build"

passed=0
failed=0
n=0
docs=$(cd "$src" && ls docs/*.md) || { echo "FAIL no docs/*.md"; exit 1; }
for doc in README.md $docs; do
  # One line per block: LINE INFO, the block's text in blocks/N.sh.
  while IFS=$'\t' read -r line info; do
    n=$((n + 1))
    block=$scratch/blocks/$n.sh
    awk -v start="$line" 'NR > start && /^```/ {exit} NR > start {print}' "$src/$doc" >"$block"
    where="$doc:$line ($info)"
    case $info in
      sh)
        out=$(cd "$repo" && env -i HOME="$scratch/home" PATH=/usr/local/bin:/usr/bin:/bin TMPDIR="$scratch/tmp" LANG=C.UTF-8 \
          timeout 300 bash -e -o pipefail "$block" 2>&1 </dev/null)
        status=$?
        if [ $status -eq 0 ]; then
          echo "PASS $where"
          passed=$((passed + 1))
        else
          echo "FAIL $where: status $status"
          sed 's/^/    | /' "$block"
          tail -20 <<<"$out" | sed 's/^/    > /'
          failed=$((failed + 1))
        fi
        ;;
      "sh norun")
        problems=""
        bash -n "$block" 2>/dev/null || problems+=" syntax"
        for word in $(tr -s ' \t;&|()<>' '\n' <"$block" | sed 's/^\$PWD\///'); do
          case $word in
            build/bin/*) [ -e "$tree/bin/${word#build/bin/}" ] || problems+=" $word" ;;
            scripts/* | packaging/* | cmake/* | examples/* | tests/* | docs/* | man/* | completion/* | sim/*)
              [ -e "$repo/$word" ] || problems+=" $word" ;;
          esac
        done
        for preset in $(grep -oE -- '--preset [a-z0-9]+' "$block" | awk '{print $2}'); do
          grep -q "\"name\": \"$preset\"" "$src/CMakePresets.json" || problems+=" preset:$preset"
        done
        if [ -z "$problems" ]; then
          echo "PASS $where"
          passed=$((passed + 1))
        else
          echo "FAIL $where:$problems"
          failed=$((failed + 1))
        fi
        ;;
      bat | text) ;;
      *)
        echo "FAIL $where: a block must say sh, sh norun, bat or text"
        failed=$((failed + 1))
        ;;
    esac
  done < <(awk '/^```/ { if (!open) { open = 1; info = substr($0, 4); printf "%d\t%s\n", NR, info } else open = 0 }' "$src/$doc")
done

echo "doc commands: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
