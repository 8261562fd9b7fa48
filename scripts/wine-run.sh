#!/usr/bin/env bash
# Runs a Windows program of the mingw-w64 build under Wine, headless.
#
#   scripts/wine-run.sh program.exe [arguments...]
#   scripts/wine-run.sh --init <build folder>     (only create the prefix)
#   scripts/wine-run.sh --kill <build folder>     (end the prefix's wine server)
#
# Wine's 64-bit loader runs with WINEDEBUG=-all and a private WINEPREFIX:
# KX_WINEPREFIX if set, else <build folder>/wineprefix, where the build folder
# is the nearest folder above the program that holds CMakeCache.txt (else the
# current folder). The prefix is created once with wineboot; concurrent runs
# (ctest -j) wait for that on a lock. Carriage returns are removed from the
# program's standard output; its exit code is returned.
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 program.exe [arguments...]" >&2
  exit 2
fi

WINE_LOADER=${KX_WINE:-}
if [[ -z "$WINE_LOADER" ]]; then
  for candidate in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [[ -n "$candidate" && -x "$candidate" ]]; then
      WINE_LOADER=$candidate
      break
    fi
  done
fi
if [[ -z "$WINE_LOADER" ]]; then
  echo "wine-run.sh: no Wine 64-bit loader found (install the wine64 package)" >&2
  exit 127
fi
wine_dir=$(dirname "$WINE_LOADER")
WINESERVER=${WINESERVER:-}
if [[ -z "$WINESERVER" ]]; then
  for candidate in "$wine_dir/wineserver" "$(command -v wineserver || true)"; do
    if [[ -n "$candidate" && -x "$candidate" ]]; then
      WINESERVER=$candidate
      break
    fi
  done
fi
export WINESERVER

mode=run
if [[ "$1" == "--init" || "$1" == "--kill" ]]; then
  mode=${1#--}
  shift
  [[ $# -ge 1 ]] || { echo "usage: $0 --$mode <build folder>" >&2; exit 2; }
  set -- "$1/CMakeCache.txt"
fi

find_build_dir() {
  local dir
  dir=$(cd "$(dirname "$1")" 2>/dev/null && pwd) || dir=$PWD
  while [[ "$dir" != "/" ]]; do
    if [[ -f "$dir/CMakeCache.txt" ]]; then
      echo "$dir"
      return
    fi
    dir=$(dirname "$dir")
  done
  echo "$PWD"
}

if [[ -n "${KX_WINEPREFIX:-}" ]]; then
  WINEPREFIX=$KX_WINEPREFIX
else
  WINEPREFIX="$(find_build_dir "$1")/wineprefix"
fi
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono/Gecko installers and no desktop window: the programs are consoles.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

if [[ $mode == kill ]]; then
  [[ -d "$WINEPREFIX" ]] && "$WINESERVER" -k 2>/dev/null
  exit 0
fi

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ ! -f "$WINEPREFIX/.kx-ready" ]]; then
    rm -rf "$WINEPREFIX"
    "$WINE_LOADER" wineboot --init >/dev/null 2>&1 || true
    "$WINESERVER" -w || true
    if [[ ! -d "$WINEPREFIX/drive_c" ]]; then
      echo "wine-run.sh: could not create the Wine prefix $WINEPREFIX" >&2
      exit 1
    fi
    touch "$WINEPREFIX/.kx-ready"
  fi
  # One wine server for the prefix that outlives each program by a while:
  # a server that shuts down just as the next program starts makes that
  # program fail ("a wine server seems to be running, but I cannot connect
  # to it"), which happens when CTest starts programs back to back. Starting
  # one while it runs fails harmlessly; `wineserver -k` ends it.
  if "$WINESERVER" -p"${KX_WINESERVER_LINGER:-120}" </dev/null >/dev/null 2>&1 9>&-; then
    # A new server: start the prefix's services (winedevice...) now, from a
    # program without a pipe. Services started by a test program would keep
    # its output pipe open for as long as the server lives, and CTest would
    # wait for that test until then.
    "$WINE_LOADER" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

[[ $mode == run ]] || exit 0

# The Windows C runtime writes "\r\n"; tools that read the output (CTest,
# gtest_discover_tests) expect "\n".
set +e
"$WINE_LOADER" "$@" | tr -d '\r'
exit "${PIPESTATUS[0]}"
