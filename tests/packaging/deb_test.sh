#!/usr/bin/env bash
# The Debian packages, checked as a distribution would check them:
#   deb_test.sh build SOURCE WORK    dpkg-buildpackage -us -uc -b in a copy of
#                                    SOURCE under WORK (the tree stays clean)
#   deb_test.sh lintian WORK         lintian on every package: no line at all
#   deb_test.sh files WORK EXPECTED  each package's files against EXPECTED
#   deb_test.sh host WORK README     every package unpacked (dpkg-deb -x) into
#                                    a folder; README's host snippets built
#                                    against it through find_package and
#                                    pkg-config, run, their file decoded
# Exits 77 (skipped) when a Debian tool is missing.
set -euo pipefail
step=$1
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
  done
}
fail() { echo "FAILED: $*" >&2; exit 1; }
debs() { ls "$WORK"/src/*.deb 2>/dev/null || fail "no packages in $WORK/src (did deb.build pass?)"; }
multiarch() { dpkg-architecture -qDEB_HOST_MULTIARCH; }

case $step in
build)
  need dpkg-buildpackage dh
  SOURCE=$2 WORK=$3
  rm -rf "$WORK"
  mkdir -p "$WORK/src/kx-traxel"
  tar -C "$SOURCE" --exclude=./build --exclude='./build-*' --exclude=./out --exclude=./.git -cf - . |
    tar -C "$WORK/src/kx-traxel" -xf -
  # One build, fast: no tests inside it, the library only.
  if command -v ccache >/dev/null && [[ -z ${CCACHE_DIR:-} ]]; then
    CCACHE_DIR=$(ccache -k cache_dir) && export CCACHE_DIR  # debhelper points HOME elsewhere
  fi
  cd "$WORK/src/kx-traxel"
  DEB_BUILD_OPTIONS="nocheck parallel=${KX_JOBS:-2}" DEB_BUILD_PROFILES=nocheck \
    dpkg-buildpackage -us -uc -b >"$WORK/build.log" 2>&1 || { tail -n 80 "$WORK/build.log"; fail "dpkg-buildpackage"; }
  ls "$WORK"/src/*.deb
  ;;
lintian)
  need lintian
  WORK=$2
  debs >/dev/null
  # Its tags go to standard output (a note such as "running with root
  # privileges is not recommended!" to standard error).
  out=$(lintian -i "$WORK"/src/*.changes) || { echo "$out"; fail "lintian"; }
  [[ -z $out ]] || { echo "$out"; fail "lintian reported the lines above"; }
  echo "lintian: nothing to report on $(debs | wc -l) packages"
  ;;
files)
  need dpkg-deb dpkg-architecture
  WORK=$2 EXPECTED=$3
  ma=$(multiarch)
  actual=$WORK/files.txt
  for deb in $(debs); do
    echo "$(dpkg-deb -f "$deb" Package):"
    # Files and links only; the build id names of the debug files vary.
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' |
      sed -e "s|/$ma/|/<multiarch>/|" -e 's|^/usr/lib/debug/\.build-id/.*\.debug$|/usr/lib/debug/.build-id/*.debug|' | sort -u
  done >"$actual"
  diff -u "$EXPECTED" "$actual" || fail "the packages' files differ from $EXPECTED (-expected +actual)"
  shlibs=$(dpkg-deb -I "$WORK"/src/libkx-mfplat0_*.deb shlibs)
  [[ $shlibs == "libkx_mfplat 0 libkx-mfplat0 (>= "*")" ]] || fail "libkx-mfplat0's shlibs: '$shlibs'"
  echo "$(debs | wc -l) packages as designed; shlibs: $shlibs"
  ;;
host)
  need dpkg-deb dpkg-architecture pkg-config cmake c++ cc ffprobe
  WORK=$2 README=$3
  ma=$(multiarch)
  root=$WORK/unpacked
  rm -rf "$root" "$WORK/cmake-host" "$WORK/pkg-host"
  for deb in $(debs); do dpkg-deb -x "$deb" "$root"; done
  prefix=$root/usr
  # README's "your own host" snippets, as they are.
  block() { awk -v fence="\`\`\`$1" '$0 == fence { on = 1; next } on && /^```/ { exit } on' "$README"; }
  for dir in cmake-host pkg-host; do
    mkdir -p "$WORK/$dir"
    block cmake >"$WORK/$dir/CMakeLists.txt"
    block cpp >"$WORK/$dir/my_host.cpp"
    block sh >"$WORK/$dir/build.sh"
    block c >"$WORK/$dir/list_formats.c"
  done
  # Nothing on the loader's path: the plug-in and kx-host find the layer
  # relative to themselves, as in the installed system.
  unset LD_LIBRARY_PATH
  probe() {
    local got
    got=$(ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of csv=p=0 "$1")
    [[ $got == "h264,25" ]] || fail "$1: ffprobe says '$got', expected 25 H.264 pictures"
  }
  cmake -S "$WORK/cmake-host" -B "$WORK/cmake-host/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    >"$WORK/cmake-host.log" 2>&1 || { cat "$WORK/cmake-host.log"; fail "configure through find_package"; }
  grep -qF 'KX_TRAXEL_PLUGIN=\"'"$prefix/lib/$ma/kx_traxel/kx_Traxel.so"'\"' "$WORK/cmake-host/build/CMakeFiles/my_host.dir/flags.make" ||
    fail "find_package: KX_TRAXEL_PLUGIN is not the unpacked plug-in"
  cmake --build "$WORK/cmake-host/build" >>"$WORK/cmake-host.log" 2>&1 || { cat "$WORK/cmake-host.log"; fail "build through find_package"; }
  "$WORK/cmake-host/build/my_host" "$WORK/cmake.mp4"
  probe "$WORK/cmake.mp4"
  export PKG_CONFIG_PATH=$prefix/lib/$ma/pkgconfig
  plugindir=$(pkg-config --variable=plugindir kx_traxel)
  [[ $(realpath "$plugindir") == "$(realpath "$prefix/lib/$ma/kx_traxel")" ]] || fail "pkg-config plugindir: $plugindir"
  (cd "$WORK/pkg-host" && CXXFLAGS="-Wall -Wextra -Werror" CFLAGS="-Wall -Wextra -Werror -D_POSIX_C_SOURCE=200809L" sh -e build.sh) ||
    fail "build through pkg-config"
  "$WORK/pkg-host/my_host" "$WORK/pkg-config.mp4"
  probe "$WORK/pkg-config.mp4"
  formats=$("$WORK/pkg-host/list_formats")
  [[ $formats == *"WMP4 .mp4"* ]] || fail "the C host listed: $formats"
  # The packaged kx-host finds the plug-in in its private folder.
  "$prefix/bin/kx-host" list | grep -q "WMP4" || fail "the packaged kx-host list"
  echo "hosts built against the unpacked packages found $plugindir/kx_Traxel.so"
  ;;
*)
  echo "deb_test.sh: unknown step '$step'" >&2
  exit 2
  ;;
esac
