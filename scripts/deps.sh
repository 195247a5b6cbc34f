#!/usr/bin/env bash
# Installs the Debian 12 packages that stage-console needs, only those that
# are missing. Runs as root, or through sudo.
#   bash scripts/deps.sh                 what building the console and its package needs
#   bash scripts/deps.sh --test          that, and what the tests and benchmarks need
#   bash scripts/deps.sh [--test] PKG..  and these packages too (scripts/sanitize.sh: clang)
# When another install holds the package manager's lock, it waits for it (up
# to 10 minutes) instead of failing at once.
set -euo pipefail

build_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  # Held keys on X11: detectable auto-repeat through XKB.
  libxcb1-dev libxcb-xkb-dev
  libqcustomplot-dev
  fonts-liberation
  libusb-1.0-0-dev
  # The controller profiles' TOML reader and writer (header-only).
  libtomlplusplus-dev
  # JSON (header-only): the control API, the Scope's saved runs.
  nlohmann-json3-dev
  # The Tango device server (bridges/tango) on Debian's libtango.
  libtango-dev
  # The icon's sizes, the manual page, and the Debian package (cpack reads
  # the program's shared libraries with dpkg-shlibdeps and file).
  librsvg2-bin scdoc gzip dpkg-dev file
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  # The window-system and desktop tests: an X server, a window manager,
  # xdotool, and xprop, xwininfo, xmessage, xset (x11-utils, x11-xserver-utils).
  xvfb openbox xdotool x11-utils x11-xserver-utils
  # The checks of the Debian package, its menu entry, metainfo and manual page.
  desktop-file-utils appstream lintian man-db groff-base
  # The Tango device server driven as a facility script drives it.
  python3-tango
)

packages=("${build_packages[@]}")
if [ "${1:-}" = "--test" ]; then
  shift
  packages+=("${test_packages[@]}")
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Runs apt-get, waiting while another apt or dpkg holds its lock.
apt_get() {
  local waited=0 log
  log=$(mktemp)
  while :; do
    if DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@" 2>"$log"; then
      cat "$log" >&2
      rm -f "$log"
      return 0
    fi
    if grep -q 'Could not get lock\|Unable to acquire\|is another process using it' "$log" && ((waited < 600)); then
      ((waited == 0)) && echo "Another install holds the package manager's lock; waiting for it ..." >&2
      sleep 5
      waited=$((waited + 5))
      continue
    fi
    cat "$log" >&2
    rm -f "$log"
    return 1
  done
}

echo "Installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
