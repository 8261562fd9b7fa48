#!/usr/bin/env bash
# Builds and tests kx_Traxel five ways and ends with CTest's summaries:
#
#   1. linux: native build (RelWithDebInfo), CTest;
#   2. asan: native build with AddressSanitizer + UndefinedBehaviorSanitizer
#      (-DKX_SANITIZE=ON), CTest without the tests labelled "no_sanitize";
#   3. tsan: native build with ThreadSanitizer (-DKX_TSAN=ON), CTest without
#      the tests labelled "no_sanitize" (suppressions: scripts/tsan.supp,
#      system libraries only);
#   4. windows: Windows x64 build cross-compiled with mingw-w64, CTest under
#      Wine;
#   5. fuzz: the libFuzzer targets built with clang-14 (-DKX_BUILD_FUZZ=ON),
#      CTest over the stored corpus, then each target fuzzed for
#      KX_FUZZ_SECONDS (default 30) with a fixed seed.
#
# Usage: scripts/test.sh [--no-install] [linux] [asan] [tsan] [windows] [fuzz]
#   With no tree named, all five run. Every tree builds with warnings as
#   errors (-DKX_WERROR=ON). Build folders: build-ci/<name> (KX_BUILD_ROOT
#   overrides). Missing Debian packages are installed first
#   (scripts/install-deps.sh: apt-get, root or sudo); --no-install skips that.
# Exit status: 0 only when every build and every test passed.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${KX_BUILD_ROOT:-$ROOT/build-ci}
JOBS=${KX_JOBS:-2}
# Guard against a hung test; no test is meant to come near it.
TEST_TIMEOUT=${KX_TEST_TIMEOUT:-300}
FUZZ_SECONDS=${KX_FUZZ_SECONDS:-30}
FUZZ_TARGETS=(extra_data encode_params xmp_inject)

install=1
builds=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    linux|asan|tsan|windows|fuzz) builds+=("$arg") ;;
    -h|--help) sed -n '2,23p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[[ ${#builds[@]} -gt 0 ]] || builds=(linux asan tsan windows fuzz)

section() { printf '\n==== %s ====\n' "$*"; }

# Per build: configure arguments and ctest arguments, into the arrays
# cfg_args and test_args.
set_args() {
  cfg_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_WERROR=ON)
  test_args=()
  case "$1" in
    asan)
      cfg_args+=(-DKX_SANITIZE=ON -DKX_BUILD_BENCH=OFF)
      test_args+=(-LE no_sanitize) ;;
    tsan)
      cfg_args+=(-DKX_TSAN=ON -DKX_BUILD_BENCH=OFF)
      test_args+=(-LE no_sanitize) ;;
    windows)
      cfg_args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake") ;;
    fuzz)
      cfg_args+=(-DKX_BUILD_FUZZ=ON -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14) ;;
  esac
}

# ThreadSanitizer maps its shadow memory at fixed addresses; on kernels with
# more address-space randomisation than it expects it stops with
# "unexpected memory mapping". Its tree runs with randomisation off when
# setarch can do that here.
run_tests() {
  local name=$1
  shift
  if [[ $name == tsan ]] && setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch "$(uname -m)" -R "$@"
  else
    "$@"
  fi
}

declare -A result summary_file tree_time
overall=0

# Each fuzz target for FUZZ_SECONDS from the stored corpus, with a fixed seed.
# New inputs go to a scratch corpus in the build folder; a crashing input is
# kept there as <target>-crash-<hash> and fails the tree.
run_fuzzers() {
  local dir=$1 status=0 target work
  for target in "${FUZZ_TARGETS[@]}"; do
    section "fuzz: $target for ${FUZZ_SECONDS} s"
    work=$dir/fuzz-work/$target
    rm -rf "$work"
    mkdir -p "$work"
    if ! "$dir/tests/fuzz/kx_fuzz_$target" -max_total_time="$FUZZ_SECONDS" -seed=1 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$dir/fuzz-work/$target-" \
        "$work" "$ROOT/tests/fuzz/corpus/$target" >"$dir/fuzz-$target.log" 2>&1; then
      tail -n 60 "$dir/fuzz-$target.log"
      echo "fuzz: $target failed; the input is in $dir/fuzz-work/ (add it to tests/fuzz/corpus/$target/ as regression-<what>)"
      status=1
    else
      grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$dir/fuzz-$target.log" || true
    fi
  done
  return $status
}

run_build() {
  local name=$1 dir=$BUILD_ROOT/$1 log
  log=$dir/ctest-summary.txt
  summary_file[$name]=$log
  set_args "$name"
  section "$name: configure and build"
  if ! cmake -S "$ROOT" -B "$dir" "${cfg_args[@]}"; then
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
  (cd "$dir" && run_tests "$name" ctest --output-on-failure --no-tests=error -j "$JOBS" \
    --timeout "$TEST_TIMEOUT" "${test_args[@]}") 2>&1 | tee "$dir/ctest.log"
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
  if [[ $name == fuzz ]] && ! run_fuzzers "$dir"; then
    result[$name]="fuzzing found a failure"
    return 1
  fi
  result[$name]="passed"
}

if [[ $install -eq 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh" || { echo "test.sh: package installation failed" >&2; exit 1; }
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-suppressions=$ROOT/scripts/tsan.supp:second_deadlock_stack=1}
if [[ -f "$ROOT/scripts/lsan.supp" ]]; then
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}
fi

minutes() { printf '%d min %d s' $(($1 / 60)) $(($1 % 60)); }

start=$SECONDS
for name in "${builds[@]}"; do
  tree_start=$SECONDS
  run_build "$name" || overall=1
  tree_time[$name]=$((SECONDS - tree_start))
done

section "summary ($(minutes $((SECONDS - start))))"
for name in "${builds[@]}"; do
  echo "$name: ${result[$name]:-not run} ($(minutes "${tree_time[$name]}"))"
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
