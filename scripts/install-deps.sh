#!/usr/bin/env bash
# Installs what building and testing Kalvitrope needs on Debian 12. Safe to run again.
set -euo pipefail
packages=(
  cmake ninja-build ccache g++ pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  librtaudio-dev librtmidi-dev libsleef-dev
  libx11-dev libxi-dev libxrandr-dev libinput-dev libudev-dev
  xvfb xauth xdotool jackd2 libosmesa6-dev libglu1-mesa-dev
  qt6-base-dev libqt6opengl6-dev libgl-dev trayer fonts-dejavu-core
  fonts-noto-cjk # the Noto Sans CJK families that the windows name for Japanese and Chinese
  clang-22 libclang-rt-22-dev llvm
  dpkg-dev lintian appstream desktop-file-utils help2man librsvg2-bin man-db x11-utils
  openbox x11-apps x11-xserver-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
