#!/usr/bin/env bash
# Runs the Windows build (build/mingw) under Wine: the unit test programs, then the daemon as
# a service of Wine's service control manager, answering on its plain-HTTP prefix.
#
# The Wine prefix is copied from a template kept in the build folder (making a prefix takes
# about 10 s, copying it under 1 s), so every run starts from the same clean state. A
# persistent wineserver keeps services alive between the commands.
set -euo pipefail
cd "$(dirname "$0")/.."

build=$PWD/build/mingw
bin=$build/bin
template=$build/wine/template
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
cp -a "$template" "$WINEPREFIX"

wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The HTTP Server API answers only once Wine's HTTP service runs.
wine net start http >/dev/null 2>&1

# The test programs that pass under Wine. test_base, test_front and test_discovery are
# built too but do not pass yet (README, "Known gaps"): run them by hand with
# "scripts/wine-tests.sh test_base ...".
programs=("$@")
[ ${#programs[@]} -ne 0 ] || programs=(test_json)

failed=()
step "unit tests under Wine"
for name in "${programs[@]}"; do
  test=$bin/$name.exe
  if timeout 300 wine "$test" --gtest_brief=1 >"$build/wine/$name.log" 2>&1; then
    echo "$name: passed ($(grep -c '^\[       OK \]\|^\[  PASSED  \]' "$build/wine/$name.log" || true))"
  else
    echo "$name: FAILED"
    tail -40 "$build/wine/$name.log"
    failed+=("$name")
  fi
done

step "the daemon as a service of Wine's service control manager"
# An install folder as an installer makes it, with free ports; the HTTPS prefix is a Wine gap.
site=$build/wine/site
rm -rf "$site"
mkdir -p "$site/data"
cp "$bin/VantaroLauncherService.exe" "$site/"
read -r main_port internal_port < <(python3 -c 'import socket
s=[socket.socket() for _ in range(2)]
[x.bind(("127.0.0.1",0)) for x in s]
print(*[x.getsockname()[1] for x in s])')
echo "$main_port" >"$site/serv.port"
echo "$internal_port" >"$site/serv.internal.port"
echo "vantaro-launcher.localhost" >"$site/serv.domain"
winpath() { echo "Z:${1//\//\\}"; }
winpath "$site/data" >"$site/pdata.ptr"
service_state() { wine sc query QVYLaunchDaemon | sed -n 's/.*STATE *: *\([0-9]\).*/\1/p'; }
wine sc create QVYLaunchDaemon binPath= "$(winpath "$site/VantaroLauncherService.exe")" >/dev/null
wine sc start QVYLaunchDaemon >/dev/null
answer=""
for _ in $(seq 50); do
  answer=$(curl -s -m 5 -X POST "http://127.0.0.1:$internal_port/getVersion" || true)
  [ -n "$answer" ] && break
  sleep 0.2
done
echo "getVersion over the plain-HTTP prefix: $answer"
# Outside the test-harness mode the plain prefix refuses the main functions (12, HTTPS needed).
case "$answer" in *'"returnCode": 12'*) ;; *) failed+=("service: getVersion") ;; esac
wine sc stop QVYLaunchDaemon >/dev/null || true
# Wine's "sc stop" does not wait: poll until the service reports STOPPED (1).
for _ in $(seq 50); do
  [ "$(service_state)" = 1 ] && break
  sleep 0.2
done
# Known gap (README): under Wine the daemon ends with an exception in the HTTP server's stop,
# so the stop is reported, not yet required.
if [ "$(service_state)" = 1 ]; then
  echo "service stopped"
else
  echo "service did not report STOPPED (known gap under Wine)"
fi
wine sc delete QVYLaunchDaemon >/dev/null || true

if [ ${#failed[@]} -ne 0 ]; then
  echo "under Wine, failed: ${failed[*]}"
  exit 1
fi
echo "under Wine: all passed"
