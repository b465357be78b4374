#!/usr/bin/env bash
# The Windows build: both mingw-w64 cross trees (each must build without a
# warning; the 32-bit one checks the system record layouts at compile time),
# then the Windows programs under wine, headless, against the rules and the
# Linux build (tests/wine/run_wine_tests.sh). Last the Windows ZIP (CPack,
# both trees) and its programs run from the unpacked archive, the 32-bit ones
# through Debian's wine32 (i386).
set -u
results=$1
. scripts/lib.sh

if ! ensure_packages "${BUILD_PACKAGES[@]}" wine wine64 g++-mingw-w64-x86-64 g++-mingw-w64-i686; then
  echo "cannot install the cross compilers and wine"
  record_counts "$results" 40-wine 0 1
  exit 1
fi

counts_reset

# Configures and builds one cross tree; a warning fails the check.
cross_build() {
  local preset=$1 log
  log=$(mktemp)
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >"$log" 2>&1; then
    tail -30 "$log"
    fail "$preset build"
  elif grep -q 'warning:' "$log"; then
    grep -B2 -A6 'warning:' "$log" | head -60
    fail "$preset build without warnings"
  else
    pass "$preset build without warnings"
  fi
  rm -f "$log"
}
cross_build mingw64
cross_build mingw32

# The programs need nothing beside them: the runtime is linked in, only
# system DLLs are imported.
system_dlls_only() {
  local tree=$1 exe dlls bad=""
  for exe in dlmtool ufw_make; do
    [ -f "$tree/bin/$exe.exe" ] || { bad+=" $exe.exe(missing)"; continue; }
    dlls=$(x86_64-w64-mingw32-objdump -p "$tree/bin/$exe.exe" | awk '/DLL Name:/ {print $3}')
    for d in $dlls; do
      case ${d,,} in
        kernel32.dll | msvcrt.dll | user32.dll | shell32.dll | advapi32.dll) ;;
        *) bad+=" $exe.exe:$d" ;;
      esac
    done
  done
  if [ -n "$bad" ]; then
    echo "imports beyond the system DLLs:$bad"
    fail "$tree programs import only system DLLs"
  else
    pass "$tree programs import only system DLLs"
  fi
}
system_dlls_only build-mingw64
system_dlls_only build-mingw32

# The Linux programs to compare with: those of the native tree (suite 10
# built it; DLM_WINE_NATIVE_TREE names another), brought up to date, else a
# tree of their own.
native_tree=${DLM_WINE_NATIVE_TREE:-build}
if [ ! -f "$native_tree/build.ninja" ]; then
  native_tree=build-wine-native
  cmake -S . -B "$native_tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDLM_BUILD_TESTS=OFF -DDLM_BUILD_BENCH=OFF -DDLM_BUILD_SIM=OFF >/dev/null 2>&1
fi
native_bin=$native_tree/bin
if ! cmake --build "$native_tree" -j "$(nproc)" --target dlmtool ufw_make dlminspect >/dev/null 2>&1; then
  fail "native programs to compare with"
fi

if [ -x build-mingw64/bin/exit_status.exe ] && [ -x "$native_bin/dlmtool" ]; then
  log=$(mktemp)
  bash tests/wine/run_wine_tests.sh build-mingw64/bin "$native_bin" | tee "$log"
  if wine_counts=$(read_counts "wine: " "$log"); then
    counts_add $wine_counts
  else
    fail "wine tests ran to the end"
  fi
  rm -f "$log"
else
  fail "wine tests (nothing to run)"
fi

# The Windows ZIP: CPack in the 64-bit tree packs both trees (win64\, win32\).
# The 32-bit programs run under wine only with the i386 wine32 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 && unset DLM_APT_UPDATED
fi
ensure_packages wine32:i386 unzip || fail "wine32 (i386) and unzip installed"
rm -rf build-mingw64/packages
log=$(mktemp)
if [ -f build-mingw32/bin/dlmtool.exe ] && [ -f build-mingw64/bin/dlmtool.exe ] &&
   cmake build-mingw64 -DDLM_WIN32_TREE="$PWD/build-mingw32" >"$log" 2>&1 &&
   cpack --config build-mingw64/CPackConfig.cmake >>"$log" 2>&1 &&
   zip=$(ls build-mingw64/packages/dlmtool-*-windows.zip 2>/dev/null) && [ -n "$zip" ]; then
  pass "Windows ZIP $zip ($(stat -c %s "$zip") bytes)"
  bash tests/packaging/check_windows_zip.sh "$zip" "$native_bin" | tee "$log"
  summary=$(grep -E '^windows zip: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
  if [ -n "$summary" ]; then
    passed=$((passed + $(echo "$summary" | sed -E 's/^windows zip: ([0-9]+) passed.*/\1/')))
    failed=$((failed + $(echo "$summary" | sed -E 's/.* ([0-9]+) failed$/\1/')))
  else
    fail "Windows ZIP checks ran to the end"
  fi
else
  tail -20 "$log"
  fail "Windows ZIP built"
fi
rm -f "$log"

record_counts "$results" 40-wine "$passed" "$failed"
[ "$failed" -eq 0 ]
