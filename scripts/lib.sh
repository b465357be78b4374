# Shared helpers of the set-up and test scripts. Source it; do not run it.

# pass, fail, read_counts, run_ctest and the other counting helpers.
. "$(dirname "${BASH_SOURCE[0]}")/counts.sh"

# ensure_packages PKG...: installs the Debian packages that are missing.
# Runs apt-get update at most once per script run.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  if [ -z "${DLM_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null || return 1
    export DLM_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build needs (scdoc makes the manual pages, man-db checks them).
BUILD_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev libedit-dev nlohmann-json3-dev libcli11-dev scdoc man-db)

# build_native [PRESET]: configures and builds the native tree.
build_native() {
  local preset=${1:-default}
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$(nproc)"
}

# record_counts RESULTS_DIR SUITE PASSED FAILED
record_counts() { echo "$3 $4" > "$1/$2"; }
