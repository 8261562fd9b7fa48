#!/usr/bin/env bash
# The main job, from a fresh checkout: installs the Debian packages that are
# missing (scripts/install-deps.sh), builds the plug-in and kx-host (Release,
# without the tests), and runs kx-host on its built-in pattern and tone:
#
#   out/demo/demo.wmv   10 s of 1280x720, WMV 8 + WMA 8
#   out/demo/demo.mp4   10 s of 1280x720, H.264 + AAC
#
# each with its progress line, then `kx-host list` of the plug-in's tables
# and ffprobe's summary of each file (every frame decoded and counted).
#
# Usage: scripts/run.sh [--no-install] [-- kx-host encode options...]
#   Arguments after -- go to both `kx-host encode` commands, e.g.
#   -- --seconds 3 --size 640x360. Build folder: build/run (KX_BUILD_ROOT
#   overrides build/); files: out/demo (KX_DEMO_DIR overrides it).
#   KX_JOBS (default 2): parallel jobs.
set -euo pipefail

usage() { awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$0"; }

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${KX_BUILD_ROOT:-$ROOT/build}/run
DEMO=${KX_DEMO_DIR:-$ROOT/out/demo}
JOBS=${KX_JOBS:-2}

install=1
host_args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --no-install) install=0 ;;
    --) shift; host_args=("$@"); break ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown argument '$1' (kx-host options go after --)" >&2; exit 2 ;;
  esac
  shift
done

if [[ $install -eq 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh"
fi

printf '==== build (%s) ====\n' "${BUILD#"$ROOT"/}"
cmake -S "$ROOT" -B "$BUILD" --preset release -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target kx-host

host=$BUILD/plugin/kx-host
mkdir -p "$DEMO"
printf '\n==== kx-host encode ====\n'
"$host" encode "$DEMO/demo.wmv" --video-codec WMV2 --audio-codec WMA8 "${host_args[@]}"
"$host" encode "$DEMO/demo.mp4" --video-codec W264 --audio-codec WAAC "${host_args[@]}"

printf '\n==== kx-host list ====\n'
"$host" list

printf '\n==== ffprobe ====\n'
for file in "$DEMO/demo.wmv" "$DEMO/demo.mp4"; do
  echo "${file#"$ROOT"/}:"
  ffprobe -v error -count_frames -show_entries format=format_name,duration,size:stream=codec_name,width,height,sample_rate,channels,nb_read_frames \
    -of compact=p=0 "$file" | sed 's/^/  /'
  # A full decode: any decoding error fails the script.
  ffmpeg -nostdin -v error -xerror -i "$file" -f null - </dev/null
done
