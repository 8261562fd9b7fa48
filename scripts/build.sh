#!/usr/bin/env bash
# The main job: builds the plug-in for Linux and for Windows x64 (mingw-w64)
# and installs each build:
#
#   out/linux/lib/kx_Traxel.so, ZQ_Log.so, libkx_mfplat.so
#   out/windows/lib/kx_Traxel.dll, ZQ_Log.dll
#   out/<build>/include/kx_traxel/   the host headers
#
# Usage: scripts/build.sh [--no-install] [linux] [windows]
#   Build folders: build/<name> (KX_BUILD_ROOT overrides); install prefixes:
#   out/<name> (KX_OUT_ROOT overrides). Missing Debian packages are installed
#   first (scripts/install-deps.sh); --no-install skips that.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${KX_BUILD_ROOT:-$ROOT/build}
OUT_ROOT=${KX_OUT_ROOT:-$ROOT/out}
JOBS=${KX_JOBS:-2}

install=1
builds=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    linux|windows) builds+=("$arg") ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "build.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[[ ${#builds[@]} -gt 0 ]] || builds=(linux windows)

if [[ $install -eq 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh"
fi

for name in "${builds[@]}"; do
  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF)
  if [[ $name == windows ]]; then
    args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake")
  fi
  printf '\n==== %s ====\n' "$name"
  cmake -S "$ROOT" -B "$BUILD_ROOT/$name" "${args[@]}"
  cmake --build "$BUILD_ROOT/$name" -j "$JOBS"
  cmake --install "$BUILD_ROOT/$name" --prefix "$OUT_ROOT/$name"
done

printf '\nInstalled:\n'
for name in "${builds[@]}"; do
  find "$OUT_ROOT/$name" -type f | sort | sed "s|^$ROOT/||"
done
