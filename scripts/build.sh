#!/usr/bin/env bash
# The main job: builds the plug-in for Linux and for Windows x64 (mingw-w64)
# and installs each build:
#
#   out/linux/lib/kx_Traxel.so, ZQ_Log.so, libkx_mfplat.so
#   out/windows/lib/kx_Traxel.dll, ZQ_Log.dll
#   out/<build>/include/kx_traxel/   the host headers
#
# Usage: scripts/build.sh [--no-install] [linux] [windows]
#   Each build is configured with the preset of its name (CMakePresets.json),
#   without the tests and benchmarks. Build folders: build/dist-<name>
#   (KX_BUILD_ROOT overrides build/); install prefixes: out/<name>
#   (KX_OUT_ROOT overrides out/). KX_JOBS (default 2): parallel jobs.
#   Missing Debian packages are installed first (scripts/install-deps.sh);
#   --no-install skips that.
set -euo pipefail

# The comment block above, without its marks.
usage() { awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$0"; }

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
    -h|--help) usage; exit 0 ;;
    *) echo "build.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[[ ${#builds[@]} -gt 0 ]] || builds=(linux windows)

if [[ $install -eq 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh"
fi

for name in "${builds[@]}"; do
  dir=$BUILD_ROOT/dist-$name
  printf '\n==== %s ====\n' "$name"
  cmake -S "$ROOT" -B "$dir" --preset "$name" -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF
  cmake --build "$dir" -j "$JOBS"
  cmake --install "$dir" --prefix "$OUT_ROOT/$name"
done

printf '\nInstalled:\n'
for name in "${builds[@]}"; do
  while IFS= read -r file; do
    echo "${file#"$ROOT"/}"
  done < <(find "$OUT_ROOT/$name" -type f | sort)
done
