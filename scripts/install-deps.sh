#!/usr/bin/env bash
# Installs the Debian 12 packages the builds and tests need, only those that
# are missing (apt-get update runs only then). Needs root or sudo when
# something is missing; does nothing otherwise.
set -euo pipefail

PACKAGES=(cmake g++ pkg-config mingw-w64 g++-mingw-w64-x86-64-posix wine64
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
  libexempi-dev libimage-exiftool-perl googletest
  clang-14 libclang-rt-14-dev
  debhelper lintian)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[[ ${#missing[@]} -gt 0 ]] || exit 0

echo "install-deps.sh: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "install-deps.sh: missing packages ${missing[*]}, and not root" >&2
    exit 1
  fi
fi
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
