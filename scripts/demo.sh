#!/usr/bin/env bash
# Sets up this machine (Debian, as root), builds the tools and runs the typical
# download job of the sample project in a scratch directory. It never writes
# into the checkout.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
ensure_packages "${BUILD_PACKAGES[@]}"
build_native default
bin=$PWD/build/bin
scratch=$(mktemp -d)
cp -r examples/. "$scratch/"
cd "$scratch"
echo "== scratch directory: $scratch"
set +e
"$bin/dlmtool" dlm_tools.cfg -dev zk40 -tonorflash -f u.boot sdram.apu -resource res 512 -reboot
status=$?
echo "== dlmtool exit status $status"
