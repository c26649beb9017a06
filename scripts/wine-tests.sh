#!/usr/bin/env bash
# Runs the Windows build (build/mingw) under Wine: the unit test programs, then the black-box
# suite (scripts/wine-blackbox.sh: the daemon as a service of Wine's service control manager,
# answering on its plain-HTTP prefix).
#
# The Wine prefix is copied from a template (making a prefix takes
# about 10 s, copying it under 1 s), so every run starts from the same clean state. A
# persistent wineserver keeps services alive between the commands.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$PWD/build/mingw
bin=$build/bin
# The template lies outside the clone, beside the cross-built libraries and keyed by Wine's
# version, so that a fresh clone reuses it.
cache=${VL_MINGW_DEPS_CACHE:-/var/cache/vantaro-launcher-mingw}
template=$cache/wine-template-$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')
export WINEPREFIX=$build/wine/prefix
export WINEDEBUG=-all
# No Mono or Gecko installers, no window system: the null graphics driver.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

step() { printf '\n-- %s --\n' "$*"; }

if [ ! -f "$template/.ready" ]; then
  step "making the Wine template prefix"
  rm -rf "$template"
  mkdir -p "$template"
  WINEPREFIX=$template wineboot -i >/dev/null 2>&1
  WINEPREFIX=$template wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  WINEPREFIX=$template wineserver -w
  touch "$template/.ready"
fi
rm -rf "$WINEPREFIX"
mkdir -p "$build/wine"
cp -a "$template" "$WINEPREFIX"
# The profile's desktop is a link to the host's home folder: shortcuts that the tests make
# stay in the prefix.
for desktop in "$WINEPREFIX"/drive_c/users/*/Desktop; do
  if [ -L "$desktop" ]; then rm "$desktop" && mkdir "$desktop"; fi
done

wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The HTTP Server API answers only once Wine's HTTP service runs.
wine net start http >/dev/null 2>&1

# Every test program of the Windows build, or those named ("scripts/wine-tests.sh test_base").
# With CI=true a skip whose reason the README does not list fails (tests/support/skip_check.cpp).
programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  for test in "$bin"/test_*.exe; do
    programs+=("$(basename "$test" .exe)")
  done
fi

failed=()
step "unit tests under Wine"
for name in "${programs[@]}"; do
  test=$bin/$name.exe
  if timeout 300 wine "$test" --gtest_brief=1 >"$build/wine/$name.log" 2>&1; then
    echo "$name: $(grep -h '^\[  PASSED  \]\|^\[  SKIPPED \]' "$build/wine/$name.log" | tr -s ' \n' ' ')"
  else
    echo "$name: FAILED"
    tail -40 "$build/wine/$name.log"
    failed+=("$name")
  fi
done

step "the black-box suite: the daemon as a service of Wine's service control manager"
scripts/wine-blackbox.sh || failed+=("black-box suite")

if [ ${#failed[@]} -ne 0 ]; then
  echo "under Wine, failed: ${failed[*]}"
  exit 1
fi
echo "under Wine: all passed"
