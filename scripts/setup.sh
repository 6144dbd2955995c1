#!/usr/bin/env bash
# Installs what building, serving and testing need (Debian packages only).
set -euo pipefail

packages=(
  build-essential cmake pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev gdb
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  libgstrtspserver-1.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root or install sudo" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
