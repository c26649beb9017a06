#!/usr/bin/env bash
# Runs every test from a fresh clone: installs what is missing, builds, and runs the
# unit and black-box tests, the sanitizer build's tests, the fuzz targets for a bounded
# time, and the Windows build (cross-compiled) with its tests under Wine.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the default build's tests only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc)

scripts/install-deps.sh

step() { printf '\n== %s ==\n' "$*"; }

step "format (clang-format)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Tests run the worker and the simulated product as throwaway users, who must be able to
# reach the build tree: as root, make every folder above the checkout searchable (not
# readable) by others. A fresh temporary folder (mktemp -d) is 0700.
if [ "$(id -u)" = 0 ]; then
  dir=$PWD
  while [ "$dir" != / ]; do
    chmod o+x "$dir"
    dir=$(dirname "$dir")
  done
fi

step "build (default)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
step "tests (default)"
ctest --preset default -j "$jobs"

[ $quick -eq 1 ] && exit 0

step "build (asan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
step "tests (asan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --preset asan -j "$jobs"

step "fuzz (every parser, ${VL_FUZZ_SECONDS:-60} s in all)"
cmake --preset fuzz >/dev/null
# shellcheck disable=SC2046  # one word per target
cmake --build --preset fuzz -j "$jobs" --target $(scripts/fuzz.sh --targets)
scripts/fuzz.sh "${VL_FUZZ_SECONDS:-60}"

# The Windows build (cross-compiled; VL_WINDOWS_STAGE=0 leaves it out) and its tests under
# Wine. The cross-built libraries come from a cache outside the clone (scripts/mingw-deps.sh),
# the Wine prefix from a template kept in the build folder.
if [ "${VL_WINDOWS_STAGE:-1}" = 1 ]; then
  step "cross-compile (mingw, everything)"
  mingw_start=$SECONDS
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw -j "$jobs"
  echo "cross-compile: $((SECONDS - mingw_start)) s"
  step "tests under Wine (mingw)"
  wine_start=$SECONDS
  scripts/wine-tests.sh
  echo "tests under Wine: $((SECONDS - wine_start)) s"
fi

step "all tests passed"
