#!/bin/sh
# kx-host stopped while its input stalls: a producer that writes a few
# pictures and then never writes again. A signal or a failure must end
# kx-host at once with its status, nothing under OUT and no temporary file.
# A closed standard output after a finished file is no failure.
#   kx_host_stop_test.sh HOST WORK FFMPEG FAKE_PLUGIN
host=$1 work=$2 ffmpeg=$3 fake=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
"$ffmpeg" -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -pix_fmt yuv420p in.y4m || exit 1
"$ffmpeg" -nostdin -v error -f lavfi -i sine=r=48000 -t 2 -ac 2 -c:a pcm_s16le tone.wav || exit 1
head -c 20000 tone.wav > cut.wav  # its header says 2 s, it holds 0.1 s
failures=""
fail() { failures="$failures
  $1"; }

# stalled NAME SIGNAL STATUS ARGS...: pictures 0-3, then a producer that
# never writes; SIGNAL (or none) once the file is under way.
stalled() {
  name=$1 signal=$2 status=$3
  shift 3
  rm -f feed && mkfifo feed
  { head -c $((4 * (6 + 115200) + 50)) in.y4m; exec sleep 600; } >feed 2>/dev/null </dev/null &
  producer=$!
  "$host" encode "$name" --video - "$@" <feed >/dev/null 2>"$name.err" &
  pid=$!
  ( sleep 30; kill -KILL $pid 2>/dev/null ) >/dev/null 2>&1 &
  watchdog=$!
  if [ "$signal" != none ]; then
    for i in $(seq 100); do ls ./*.kxpart-* >/dev/null 2>&1 && break; sleep 0.1; done
    sleep 0.5
    kill -"$signal" $pid
  fi
  wait $pid
  result=$?
  kill $watchdog 2>/dev/null
  kill $producer 2>/dev/null
  leftovers=$(ls ./*.kxpart-* 2>/dev/null)
  if [ $result -ne "$status" ]; then
    fail "$name ($signal): exit status $result, expected $status: $(cat "$name.err")"
  elif [ -e "$name" ] || [ -n "$leftovers" ]; then
    fail "$name ($signal): left $name $leftovers"
  fi
  rm -f ./*.kxpart-*
}

stalled int.wmv INT 130
stalled term.mp4 TERM 130
stalled hup.wmv HUP 130
stalled multi.wmv INT 130 --multi-stream
# The sound input fails while the pictures stall.
stalled cut-sound.wmv none 5 --audio cut.wav
# The plug-in refuses picture 2 while the reader waits for picture 4.
export KX_FAKE_WRITES=2
stalled refused.wmv none 8 --plugin "$fake"
unset KX_FAKE_WRITES

# A reader of standard output that has gone: the file is complete.
( "$host" encode piped.wmv --seconds 1 --size 320x240 2>piped.err; echo $? >piped.status ) | true
if [ "$(cat piped.status)" != 0 ] || ! grep -q "piped.wmv is complete" piped.err || [ ! -s piped.wmv ]; then
  fail "closed standard output: status $(cat piped.status), '$(cat piped.err)'"
fi

if [ -n "$failures" ]; then
  echo "kx-host stop cases failed:$failures"
  exit 1
fi
