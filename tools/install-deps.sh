#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need; with --fuzz, also
# those of the fuzz build (fuzz/run.sh). Idempotent: does nothing when every package
# is already present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libavcodec-dev libavformat-dev libavutil-dev libavfilter-dev libavdevice-dev
  libswscale-dev libswresample-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  qt6-svg-dev fonts-dejavu-core
  libsdl1.2-dev libjpeg-dev
  libgtest-dev googletest
  xvfb xauth libxtst6
  desktop-file-utils file dpkg-dev  # checking the desktop entry; the package's dependency scan
)
if [ "${1:-}" = --fuzz ]; then
  packages+=(clang-14 libfuzzer-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
