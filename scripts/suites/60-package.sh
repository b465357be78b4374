#!/usr/bin/env bash
# The Debian package: built with CPack from the native tree, installed with apt
# into a fresh Debian 12 root (debootstrap, chroot), used there from the
# installed paths only (version, man page, udev rule, completion, the typical
# job of the installed sample project against the installed dlmsim), then
# removed: nothing of it may stay behind but configuration.
#
# The root is made once per mirror and kept as a tarball in DLM_PACKAGE_CACHE
# (default /var/cache/dlmtool-test), so later runs unpack it in seconds.
set -u
results=$1
. scripts/lib.sh
suite=60-package

passed=0
failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
give_up() { echo "package: $1"; record_counts "$results" $suite "$passed" $((failed + 1)); exit 1; }

[ "$(id -u)" = 0 ] || give_up "needs root (debootstrap and chroot)"
ensure_packages "${BUILD_PACKAGES[@]}" debootstrap scdoc man-db dpkg-dev curl || give_up "cannot install debootstrap, scdoc, man-db, dpkg-dev and curl"

t0=$(date +%s)
cache=${DLM_PACKAGE_CACHE:-/var/cache/dlmtool-test}
suite_name=bookworm

# The Debian mirror this machine's apt uses (deb822 or one-line sources).
mirror=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
  /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
mirror=${mirror:-http://deb.debian.org/debian}

# --- the package ------------------------------------------------------------
tree=${DLM_PACKAGE_TREE:-build}
if [ ! -f "$tree/CMakeCache.txt" ]; then
  tree=build-package
  cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDLM_BUILD_TESTS=OFF -DDLM_BUILD_BENCH=OFF >/dev/null ||
    give_up "cannot configure $tree"
fi
log=$(mktemp)
if ! { cmake "$tree" >/dev/null && cmake --build "$tree" -j "$(nproc)" --target dlmtool ufw_make dlminspect dlmsim man_pages &&
       rm -rf "$tree/packages" && cpack --config "$tree/CPackConfig.cmake" -G DEB; } >"$log" 2>&1; then
  tail -30 "$log"
  rm -f "$log"
  give_up "the package did not build"
fi
rm -f "$log"
deb=$(ls "$tree"/packages/dlmtool_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || give_up "no dlmtool_*.deb in $tree/packages"
t1=$(date +%s)
echo "package: $deb, $(stat -c %s "$deb") bytes, installs $(dpkg-deb -f "$deb" Installed-Size) KiB"

depends=$(dpkg-deb -f "$deb" Depends)
echo "package: Depends: $depends"
if grep -q 'libc6 (>=' <<<"$depends" && grep -q 'libstdc++6 (>=' <<<"$depends"; then
  pass "dependencies computed from the binaries"
else
  fail "dependencies computed from the binaries"
fi
if dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/dlmtool/copyright 2>/dev/null | grep -qx 'License: MIT'; then
  pass "copyright file names the MIT licence"
else
  fail "copyright file names the MIT licence"
fi

# --- a fresh Debian 12 root -------------------------------------------------
key=$(printf '%s %s minbase man-db ca-certificates' "$mirror" "$suite_name" | md5sum | cut -c1-12)
tarball=$cache/$suite_name-$key.tar.gz
if [ ! -f "$tarball" ]; then
  if ! curl -fsS --max-time 30 -o /dev/null "$mirror/dists/$suite_name/Release"; then
    give_up "the mirror $mirror is not reachable"
  fi
  mkdir -p "$cache"
  stage=$(mktemp -d "$cache/stage.XXXXXX")
  echo "package: making the $suite_name root from $mirror (once)"
  if ! debootstrap --variant=minbase --include=man-db,ca-certificates "$suite_name" "$stage/root" "$mirror" >"$stage/log" 2>&1; then
    tail -20 "$stage/log"
    rm -rf "$stage"
    give_up "debootstrap failed"
  fi
  # apt's lists, so that the install can fetch what the package depends on.
  cp /etc/resolv.conf "$stage/root/etc/resolv.conf"
  chroot "$stage/root" apt-get update -qq >/dev/null 2>&1 || true
  chroot "$stage/root" apt-get clean
  tar -C "$stage/root" -czf "$tarball.part" . && mv "$tarball.part" "$tarball"
  rm -rf "$stage"
fi
t2=$(date +%s)

work=$(mktemp -d)
root=$work/root
cleanup() {
  for m in "$root/proc" "$root/dev"; do
    mountpoint -q "$m" 2>/dev/null && umount -l "$m"
  done
  # Never remove a tree that still has something mounted in it.
  if ! grep -q " $root/" /proc/mounts; then rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir "$root"
tar -C "$root" -xzf "$tarball" || give_up "cannot unpack $tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp "$@"; }

# A stand-in for a running udev (minbase has none): udevadm records its calls
# (in /usr/sbin: apt runs the package scripts with its own PATH), and the control
# socket exists, so the package's scripts must ask for the reload.
mkdir -p "$root/run/udev"
perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0]) or die "$!\n"' "$root/run/udev/control" ||
  fail "a stand-in udev control socket"
printf '#!/bin/sh\necho "$*" >>/tmp/udevadm.log\n' >"$root/usr/sbin/udevadm"
chmod 755 "$root/usr/sbin/udevadm"
udev_called() { grep -qx 'control --reload-rules' "$root/tmp/udevadm.log" 2>/dev/null &&
                grep -qx 'trigger --subsystem-match=scsi_generic --action=change' "$root/tmp/udevadm.log"; }

cp "$deb" "$root/tmp/"
debname=$(basename "$deb")
if in_root apt-get install -y -qq "/tmp/$debname" >"$work/install.log" 2>&1; then
  pass "apt install ./$debname in a fresh Debian 12 root"
else
  tail -20 "$work/install.log"
  fail "apt install ./$debname in a fresh Debian 12 root"
fi
in_root dpkg -L dlmtool >"$work/files" 2>/dev/null

# --version: what the tree's own dlmtool says decides whether it is checked
# yet; until the option exists only the installed program's place is.
if "$tree/bin/dlmtool" --version </dev/null 2>/dev/null | grep -q '^dlmtool '; then
  out=$(in_root dlmtool --version </dev/null 2>&1)
  status=$?
  if [ $status -eq 0 ] && grep -qE '^dlmtool [0-9]+\.[0-9]+\.[0-9]+' <<<"$out"; then
    pass "dlmtool --version from /usr/bin ($out)"
  else
    fail "dlmtool --version from /usr/bin (status $status: $out)"
  fi
else
  if [ "$(in_root sh -c 'command -v dlmtool')" = /usr/bin/dlmtool ]; then
    pass "dlmtool installed as /usr/bin/dlmtool (--version not in this tree yet)"
  else
    fail "dlmtool installed as /usr/bin/dlmtool"
  fi
fi

for page in dlmtool ufw_make dlminspect dlmsim; do
  where=$(in_root man -w "$page" 2>&1)
  warnings=$(in_root sh -c "MANWIDTH=80 man --warnings $page 2>&1 >/dev/null")
  if [ "$where" = "/usr/share/man/man1/$page.1.gz" ] && [ -z "$warnings" ]; then
    pass "man -w $page: $where, no warnings"
  else
    fail "man -w $page: $where $warnings"
  fi
done

if udev_called; then
  pass "installing reloads udev and re-triggers the sg nodes"
else
  fail "installing reloads udev and re-triggers the sg nodes: $(cat "$root/tmp/udevadm.log" 2>&1)"
fi
rm -f "$root/tmp/udevadm.log"

rule=$(grep -E '/udev/rules\.d/60-dlmtool\.rules$' "$work/files")
if [ -n "$rule" ] && [ -f "$root$rule" ] && grep -q 'TAG+="uaccess"' "$root$rule" && grep -q 'GROUP="plugdev", MODE="0660"' "$root$rule" &&
   in_root getent group plugdev >/dev/null; then
  pass "udev rule $rule (uaccess, group plugdev 0660; the group exists)"
else
  fail "udev rule installed (${rule:-none})"
fi

if in_root bash -c '. /usr/share/bash-completion/completions/dlmsim && complete -p dlmtool ufw_make dlminspect dlmsim' >/dev/null 2>&1; then
  pass "bash completion for the four programs"
else
  fail "bash completion for the four programs"
fi

# The typical job, from a copy of the installed examples, against the
# installed dlmsim; the chip's flash must then hold the image.
job_status=$(in_root bash -c '
  set -u
  mkdir -p /tmp/job /tmp/chip
  cp -r /usr/share/doc/dlmtool/examples/. /tmp/job/
  dlmsim --socket /tmp/chip.sock --state /tmp/chip 2>/tmp/dlmsim.log &
  for _ in $(seq 100); do [ -S /tmp/chip.sock ] && break; sleep 0.05; done
  cd /tmp/job
  DLMSIM_SOCKET=/tmp/chip.sock dlmtool dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot >/tmp/job.log 2>&1
  echo $?
  dlmsim shutdown --socket /tmp/chip.sock >/dev/null 2>&1
  wait
')
if [ "$job_status" = 0 ] && [ -f "$root/tmp/job/qx_dlm.bin" ] &&
   cmp -s -n "$(stat -c %s "$root/tmp/job/qx_dlm.bin")" "$root/tmp/job/qx_dlm.bin" "$root/tmp/chip/flash.bin"; then
  pass "typical job of the installed examples against the installed dlmsim (flash holds qx_dlm.bin)"
else
  tail -20 "$root/tmp/job.log" 2>/dev/null
  fail "typical job of the installed examples against the installed dlmsim (status ${job_status:-none})"
fi

# Removal: every file the package brought is gone; only configuration
# (files under /etc) may stay.
if in_root apt-get remove -y -qq dlmtool >"$work/remove.log" 2>&1; then
  pass "apt remove dlmtool"
else
  tail -20 "$work/remove.log"
  fail "apt remove dlmtool"
fi
if udev_called; then
  pass "removing reloads udev"
else
  fail "removing reloads udev"
fi
left=""
while read -r f; do
  case $f in /etc/*) continue ;; esac
  [ -f "$root$f" ] || [ -L "$root$f" ] && left+=" $f"
  [ -d "$root$f" ] && [ -n "$(ls -A "$root$f" 2>/dev/null)" ] && case $f in */dlmtool | */dlmtool/*) left+=" $f/" ;; esac
done <"$work/files"
state=$(in_root dpkg-query -W -f='${db:Status-Status}' dlmtool 2>/dev/null)
if [ -s "$work/files" ] && [ -z "$left" ] && { [ "$state" = config-files ] || [ "$state" = not-installed ] || [ -z "$state" ]; }; then
  pass "nothing left after removal but configuration (dpkg state: ${state:-unknown})"
else
  fail "nothing left after removal:${left:- (no file list)} (dpkg state: $state)"
fi
t3=$(date +%s)

echo "package: build $((t1 - t0)) s, root $((t2 - t1)) s, install test $((t3 - t2)) s"
record_counts "$results" $suite "$passed" "$failed"
[ "$failed" -eq 0 ]
