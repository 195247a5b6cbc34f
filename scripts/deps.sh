#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing stage-console
# needs, only those that are missing, and any packages named as arguments.
# Runs as root, or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  # Held keys on X11: detectable auto-repeat through XKB.
  libxcb1-dev libxcb-xkb-dev
  libqcustomplot-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  # The window-system and desktop tests: an X server, a window manager,
  # xdotool, and xprop, xwininfo, xmessage (x11-utils).
  xvfb openbox xdotool x11-utils
  # The icon's sizes and the manual page; the Debian package and its checks
  librsvg2-bin scdoc gzip
  dpkg-dev file desktop-file-utils appstream lintian man-db groff-base
)
# Extra packages a script asks for (scripts/sanitize.sh: clang for libFuzzer).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
