#!/usr/bin/env bash
# kx-host encode against the ffmpeg tool with the same encoders and settings
# (x264 preset medium, encoder threads chosen by the codec library, the same
# bit rates), from one 720p YUV4MPEG2 file and one WAV file, and kx-host fed
# through a pipe from ffmpeg against kx-host reading the file. Best wall time
# of RUNS runs each; a benchmark, not a test: it prints the ratios and the
# targets and exits 0 unless a command failed.
#
# Usage: bench/kx_host_bench.sh [KX_HOST] [SECONDS] [RUNS]
#   KX_HOST: default build/run/plugin/kx-host (scripts/run.sh builds it);
#   SECONDS: clip length, default 10; RUNS: default 3. Work folder:
#   KX_BENCH_DIR, default a temporary folder (removed at the end).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HOST=${1:-$ROOT/build/run/plugin/kx-host}
SECONDS_=${2:-10}
RUNS=${3:-3}
WORK=${KX_BENCH_DIR:-$(mktemp -d)}
[[ -n ${KX_BENCH_DIR:-} ]] || trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK"
VIDEO_RATE=2000k
AUDIO_RATE=128k

echo "Clip: ${SECONDS_} s of 1280x720 30 fps 4:2:0 and stereo 44.1 kHz 16-bit PCM in $WORK"
ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=30" -t "$SECONDS_" -pix_fmt yuv420p "$WORK/in.y4m"
ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:r=44100" -t "$SECONDS_" -ac 2 -c:a pcm_s16le "$WORK/in.wav"

# Best wall time in seconds of RUNS runs of "$@" (a shell command line).
best() {
  local best_time="" start end elapsed
  for ((run = 0; run < RUNS; ++run)); do
    start=$(date +%s.%N)
    bash -c "$1" >/dev/null
    end=$(date +%s.%N)
    elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    if [[ -z $best_time ]] || awk -v a="$elapsed" -v b="$best_time" 'BEGIN { exit !(a < b) }'; then best_time=$elapsed; fi
  done
  printf '%.3f' "$best_time"
}

row() {  # name, kx-host time, reference time, target
  awk -v name="$1" -v ours="$2" -v ref="$3" -v target="$4" 'BEGIN {
    ratio = ours / ref
    printf "%-28s %9s %9s %7.3f %7s %s\n", name, ours, ref, ratio, target, ratio <= target ? "met" : "MISSED" }'
}

printf '\n%-28s %9s %9s %7s %7s\n' "case" "kx-host s" "ref s" "ratio" "target"
scenarios=("mp4 W264 WAAC libx264 aac 1.0" "wmv WMV2 WMA8 wmv2 wmav2 0.7")
[[ -n ${KX_BENCH_ONLY:-} ]] && mapfile -t scenarios < <(printf '%s\n' "${scenarios[@]}" | grep "^$KX_BENCH_ONLY ")
for scenario in "${scenarios[@]}"; do
  read -r ext vcodec acodec ffv ffa target <<<"$scenario"
  extra=""
  [[ $ffv == libx264 ]] && extra="-preset medium"
  ref=$(best "ffmpeg -nostdin -v error -y -i '$WORK/in.y4m' -i '$WORK/in.wav' -c:v $ffv $extra -b:v $VIDEO_RATE -c:a $ffa -b:a $AUDIO_RATE '$WORK/ffmpeg.$ext'")
  ours=$(best "'$HOST' encode '$WORK/kx-host.$ext' --quiet --video '$WORK/in.y4m' --audio '$WORK/in.wav' --video-codec $vcodec --audio-codec $acodec --video-bitrate $VIDEO_RATE --audio-bitrate $AUDIO_RATE")
  row "$vcodec+$acodec vs ffmpeg" "$ours" "$ref" "$target"
  if [[ $ext == mp4 ]]; then
    piped=$(best "ffmpeg -nostdin -v error -i '$WORK/in.y4m' -f yuv4mpegpipe - | '$HOST' encode '$WORK/pipe.$ext' --quiet --video - --audio '$WORK/in.wav' --video-codec $vcodec --audio-codec $acodec --video-bitrate $VIDEO_RATE --audio-bitrate $AUDIO_RATE")
    row "$vcodec+$acodec pipe vs file" "$piped" "$ours" 1.05
  fi
done
