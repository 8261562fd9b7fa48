#!/usr/bin/env bash
# Builds and tests kx_Traxel five ways, each with the configure and test
# presets of the same name (CMakePresets.json), checks the Debian packages,
# and ends with CTest's summaries:
#
#   1. linux: native build (RelWithDebInfo), CTest;
#   2. deb: the linux tree's tests labelled "deb" (the tree is configured,
#      nothing of it built): the Debian packages built once with
#      dpkg-buildpackage in a copy of the source tree, lintian on them,
#      their files, and hosts built against them unpacked;
#   3. asan: native build with AddressSanitizer + UndefinedBehaviorSanitizer
#      (-DKX_SANITIZE=ON), CTest without the tests labelled "no_sanitize";
#   4. tsan: native build with ThreadSanitizer (-DKX_TSAN=ON), CTest without
#      the tests labelled "no_sanitize" (suppressions: scripts/tsan.supp,
#      system libraries only);
#   5. windows: Windows x64 build cross-compiled with mingw-w64, CTest under
#      Wine;
#   6. fuzz: the libFuzzer targets built with clang-14 (-DKX_BUILD_FUZZ=ON),
#      CTest over the stored corpus, then each target fuzzed for
#      KX_FUZZ_SECONDS (default 30) with a fixed seed.
#
# Usage: scripts/test.sh [--no-install] [linux] [deb] [asan] [tsan] [windows]
#                       [fuzz] [-- ctest arguments...]
#   With no tree named, all run, in this order. Every tree builds with warnings as
#   errors (-DKX_WERROR=ON). Build folders: build/<name>, as the presets
#   have them. Arguments after -- go to each tree's ctest (e.g. -- -R Xmp).
#   KX_JOBS (default 2): parallel jobs; KX_TEST_TIMEOUT: seconds per test
#   (the presets' 300 otherwise).
#   Missing Debian packages are installed first (scripts/install-deps.sh:
#   apt-get, root or sudo); --no-install skips that.
# Exit status: 0 only when every build and every test passed.
set -uo pipefail

# The comment block above, without its marks.
usage() { awk 'NR == 1 { next } /^#/ { sub(/^# ?/, ""); print; next } { exit }' "$0"; }

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${KX_JOBS:-2}
FUZZ_SECONDS=${KX_FUZZ_SECONDS:-30}

install=1
builds=()
extra_test_args=()
while [[ $# -gt 0 ]]; do
  arg=$1
  shift
  case "$arg" in
    --) extra_test_args=("$@"); break ;;
    --no-install) install=0 ;;
    linux|deb|asan|tsan|windows|fuzz) builds+=("$arg") ;;
    -h|--help) usage; exit 0 ;;
    *) echo "test.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[[ ${#builds[@]} -gt 0 ]] || builds=(linux deb asan tsan windows fuzz)

section() { printf '\n==== %s ====\n' "$*"; }

# Extra ctest arguments; the rest (label filters, sanitizer options, the
# time-out guarding against a hung test) is in the test presets.
test_args=(-j "$JOBS")
if [[ -n ${KX_TEST_TIMEOUT:-} ]]; then
  test_args+=(--timeout "$KX_TEST_TIMEOUT")
fi
test_args+=("${extra_test_args[@]}")

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
  local dir=$1 status=0 target work program
  # Every target the tree built (tests/fuzz/CMakeLists.txt lists them).
  for program in "$dir"/tests/fuzz/kx_fuzz_*; do
    target=${program##*/kx_fuzz_}
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
  local name=$1 dir=$ROOT/build/$1 log configure=$1
  # deb: tests of the linux tree that need none of its targets built.
  [[ $name == deb ]] && configure=linux dir=$ROOT/build/linux/deb-step
  log=$dir/ctest-summary.txt
  summary_file[$name]=$log
  section "$name: configure and build"
  # cmake and ctest find the presets in the current folder.
  cd "$ROOT" || return 1
  if ! cmake --preset "$configure"; then
    result[$name]="configure failed"
    return 1
  fi
  mkdir -p "$dir"
  if [[ $name != deb ]] && ! cmake --build --preset "$name" -j "$JOBS"; then
    result[$name]="build failed"
    return 1
  fi
  if [[ $name == windows ]]; then
    section "$name: preparing the Wine prefix (slow the first time)"
    "$ROOT/scripts/wine-run.sh" --init "$dir" || { result[$name]="Wine prefix failed"; return 1; }
  fi
  section "$name: ctest"
  local status
  run_tests "$name" ctest --preset "$name" "${test_args[@]}" 2>&1 | tee "$dir/ctest.log"
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
