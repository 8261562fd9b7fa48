#!/usr/bin/env bash
# Builds and tests kx_Traxel three ways and ends with CTest's summaries:
#
#   1. native Linux build (RelWithDebInfo), CTest;
#   2. native build with AddressSanitizer + UndefinedBehaviorSanitizer
#      (-DKX_SANITIZE=ON), CTest without the tests labelled "no_sanitize";
#   3. Windows x64 build cross-compiled with mingw-w64, CTest under Wine.
#
# Usage: scripts/test.sh [--no-install] [linux] [asan] [windows]
#   With no build named, all three run. Build folders: build-ci/<name>
#   (KX_BUILD_ROOT overrides). Missing Debian packages are installed first
#   (scripts/install-deps.sh: apt-get, root or sudo); --no-install skips that.
# Exit status: 0 only when every build and every test passed.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${KX_BUILD_ROOT:-$ROOT/build-ci}
JOBS=${KX_JOBS:-2}
# Guard against a hung test; no test is meant to come near it.
TEST_TIMEOUT=${KX_TEST_TIMEOUT:-300}

install=1
builds=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    linux|asan|windows) builds+=("$arg") ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[[ ${#builds[@]} -gt 0 ]] || builds=(linux asan windows)

section() { printf '\n==== %s ====\n' "$*"; }

# Per build: name -> configure arguments, ctest arguments.
configure_args() {
  case "$1" in
    linux) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo" ;;
    asan) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON -DKX_BUILD_BENCH=OFF" ;;
    windows) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/mingw-w64-x86_64.cmake" ;;
  esac
}
ctest_args() {
  case "$1" in
    asan) echo "-LE no_sanitize" ;;
    *) echo "" ;;
  esac
}

declare -A result summary_file
overall=0

run_build() {
  local name=$1 dir=$BUILD_ROOT/$1 log
  log=$dir/ctest-summary.txt
  summary_file[$name]=$log
  section "$name: configure and build"
  # shellcheck disable=SC2046
  if ! cmake -S "$ROOT" -B "$dir" $(configure_args "$name"); then
    result[$name]="configure failed"
    return 1
  fi
  if ! cmake --build "$dir" -j "$JOBS"; then
    result[$name]="build failed"
    return 1
  fi
  if [[ $name == windows ]]; then
    section "$name: preparing the Wine prefix (slow the first time)"
    "$ROOT/scripts/wine-run.sh" --init "$dir" || { result[$name]="Wine prefix failed"; return 1; }
  fi
  section "$name: ctest"
  local status
  # shellcheck disable=SC2046
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$JOBS" --timeout "$TEST_TIMEOUT" $(ctest_args "$name")) 2>&1 | tee "$dir/ctest.log"
  status=${PIPESTATUS[0]}
  # CTest's own closing lines: the pass rate, the label summary and the list of failures.
  sed -n '/tests passed, /,$p' "$dir/ctest.log" >"$log"
  if [[ $name == windows ]]; then
    "$ROOT/scripts/wine-run.sh" --kill "$dir" || true
  fi
  if [[ $status -ne 0 ]]; then
    result[$name]="tests failed"
    return 1
  fi
  result[$name]="passed"
}

if [[ $install -eq 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh" || { echo "test.sh: package installation failed" >&2; exit 1; }
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [[ -f "$ROOT/scripts/lsan.supp" ]]; then
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}
fi

start=$SECONDS
for name in "${builds[@]}"; do
  run_build "$name" || overall=1
done

section "summary ($(( (SECONDS - start) / 60 )) min $(( (SECONDS - start) % 60 )) s)"
for name in "${builds[@]}"; do
  echo "$name: ${result[$name]:-not run}"
done
if [[ $overall -eq 0 ]]; then
  echo "overall: PASSED"
else
  echo "overall: FAILED"
fi
# End with CTest's own summary of each build.
for name in "${builds[@]}"; do
  if [[ -s "${summary_file[$name]:-}" ]]; then
    echo "--- $name"
    cat "${summary_file[$name]}"
  fi
done
exit $overall
