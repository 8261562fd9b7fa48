#!/usr/bin/env bash
# Picture quality of kx-host's WMV 7 and WMV 8 against the ffmpeg tool with
# the same encoder and the same bit rate, in the same run: noisy content
# with a slow pan at 640x360 30000/1001 and 1280x720 25, video only, at
# 500k, 2M and 6M. For each case: the video bit rate from the packet sizes,
# PSNR and SSIM against the source (frame by frame, aligned by index), the
# encode's wall time, and the ratios kx-host / tool. A benchmark, not a
# test: it prints the table and exits 0 unless a command failed.
#
# Usage: bench/kx_host_quality.sh [KX_HOST] [SECONDS]
#   KX_HOST: default build/run/plugin/kx-host (scripts/run.sh builds it);
#   SECONDS: clip length, default 10. Work folder: KX_BENCH_DIR, default a
#   temporary folder (removed at the end). KX_BENCH_CODECS, KX_BENCH_RATES
#   and KX_BENCH_SIZES narrow the table (defaults "WMV1 WMV2", "500k 2M 6M",
#   "360 720").
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HOST=${1:-$ROOT/build/run/plugin/kx-host}
SECONDS_=${2:-10}
WORK=${KX_BENCH_DIR:-$(mktemp -d)}
[[ -n ${KX_BENCH_DIR:-} ]] || trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK"
CODECS=${KX_BENCH_CODECS:-WMV1 WMV2}
RATES=${KX_BENCH_RATES:-500k 2M 6M}
SIZES=${KX_BENCH_SIZES:-360 720}

# Noise that changes every picture over a slow pan of a detailed pattern.
make_clip() {  # name, size, rate
  local out="$WORK/$1.y4m"
  [[ -s $out ]] && return
  local w=${2%x*} h=${2#*x}
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "testsrc2=size=$((w * 5 / 4))x$((h * 5 / 4)):rate=$3,crop=$w:$h:x='t*$((w / 40))':y='t*$((h / 80))',noise=alls=18:allf=t+u" \
    -t "$SECONDS_" -pix_fmt yuv420p "$out"
}

now() { date +%s.%N; }

# Video kb/s from the packet sizes over the number of pictures.
video_kbps() {  # file, fps expression
  ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$1" |
    awk -v fps="$2" '{ bytes += $1; n++ } END { split(fps, f, "/"); printf "%.0f", bytes * 8 / (n / (f[1] / (f[2] ? f[2] : 1))) / 1000 }'
}

# "PSNR SSIM frames" of a file against the source, pictures paired by index.
quality() {  # file, source
  local log="$WORK/quality.log"
  ffmpeg -nostdin -v info -i "$1" -i "$2" -lavfi \
    "[0:v]settb=1/1000,setpts=N,split[a0][a1];[1:v]settb=1/1000,setpts=N,split[b0][b1];[a0][b0]psnr[p];[a1][b1]ssim[s];[p][s]hstack" \
    -f null - 2>"$log" || { cat "$log" >&2; return 1; }
  local psnr ssim frames
  psnr=$(sed -n 's/.*PSNR .* average:\([0-9.inf]*\).*/\1/p' "$log" | tail -1)
  ssim=$(sed -n 's/.*SSIM .* All:\([0-9.]*\).*/\1/p' "$log" | tail -1)
  frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1")
  echo "$psnr $ssim $frames"
}

printf '%-18s %-5s %5s | %7s %7s %5s | %6s %6s %6s | %6s %6s | %6s %6s %5s | %s\n' \
  "input" "codec" "rate" "kx kb/s" "ff kb/s" "ratio" "kxPSNR" "ffPSNR" "dPSNR" "kxSSIM" "ffSSIM" "kx s" "ff s" "ratio" "frames kx/ff/src"
for size in $SIZES; do
  case $size in
    360) geometry=640x360 fps=30000/1001 ;;
    720) geometry=1280x720 fps=25 ;;
    *) echo "unknown size $size" >&2; exit 2 ;;
  esac
  name="in$size"
  make_clip "$name" "$geometry" "$fps"
  source="$WORK/$name.y4m"
  srcframes=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$source")
  for codec in $CODECS; do
    ffcodec=$(echo "$codec" | tr 'A-Z' 'a-z')
    for rate in $RATES; do
      start=$(now)
      ffmpeg -nostdin -v error -y -i "$source" -c:v "$ffcodec" -b:v "$rate" -an "$WORK/ff.wmv"
      fftime=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
      start=$(now)
      "$HOST" encode "$WORK/kx.wmv" --quiet --video "$source" --video-codec "$codec" --video-bitrate "$rate"
      kxtime=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
      kxrate=$(video_kbps "$WORK/kx.wmv" "$fps")
      ffrate=$(video_kbps "$WORK/ff.wmv" "$fps")
      read -r kxpsnr kxssim kxframes <<<"$(quality "$WORK/kx.wmv" "$source")"
      read -r ffpsnr ffssim ffframes <<<"$(quality "$WORK/ff.wmv" "$source")"
      awk -v input="$geometry $fps" -v codec="$codec" -v rate="$rate" -v kr="$kxrate" -v fr="$ffrate" \
        -v kp="$kxpsnr" -v fp="$ffpsnr" -v ks="$kxssim" -v fs="$ffssim" -v kt="$kxtime" -v ft="$fftime" \
        -v kf="$kxframes" -v ff="$ffframes" -v sf="$srcframes" 'BEGIN {
        printf "%-18s %-5s %5s | %7d %7d %5.2f | %6.2f %6.2f %+6.2f | %6.4f %6.4f | %6.2f %6.2f %5.2f | %d/%d/%d\n",
          input, codec, rate, kr, fr, kr / fr, kp, fp, kp - fp, ks, fs, kt, ft, kt / ft, kf, ff, sf }'
    done
  done
done
