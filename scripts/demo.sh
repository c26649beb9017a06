#!/usr/bin/env bash
# The demo: from a fresh clone, installs what the build needs, builds the daemon, prepares a
# demo folder under build/demo and runs the daemon in the foreground (Ctrl+C stops it).
#
#   scripts/demo.sh                  prepare and run
#   scripts/demo.sh --prepare-only   prepare, print how to run, and stop there
#
# DEMO_PORT (default 9443) and DEMO_INTERNAL_PORT (default 9080) choose the daemon's ports,
# DEMO_PAGE_PORT (default 9090) the port of the page that stands in for the maker's page.
#
# build/demo/
#   install/    what an installer puts beside the executable: "version" (the launcher's
#               version), "pdata.ptr" (the data folder),
#               "serv.port", "serv.internal.port", "serv.domain", and the HTTPS certificate
#               "serv.crt" with its key "serv.key" (self-signed, for the demo domain)
#   data/       the data folder: Quorvanti/VantaroLauncher/launcher.conf and the logs
#   registry/   the registry store with two sample installations, installs/ their folders
#               with the simulated product (start tool, environment tools, applications)
#   sessions.json   one active session for the current user
#
# scripts/demo/page/ is served on http://127.0.0.1:$DEMO_PAGE_PORT/: it embeds the
# communication page, lists the installations and starts their applications.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

prepare_only=0
[ "${1:-}" = "--prepare-only" ] && prepare_only=1

port=${DEMO_PORT:-9443}
internal_port=${DEMO_INTERNAL_PORT:-9080}
page_port=${DEMO_PAGE_PORT:-9090}
# Names below .localhost reach the loopback address without any resolver set-up.
domain=vantaro-launcher.localhost

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target VantaroLauncherService VantaroLauncherGUI vlreg vl_product
bin=$root/build/default/bin

demo=$root/build/demo
install=$demo/install
data=$demo/data
main_data=$data/Quorvanti/VantaroLauncher
mkdir -p "$install" "$main_data"

head -n 1 build/default/packaging/version >"$install/version"
echo "$data" >"$install/pdata.ptr"
echo "$port" >"$install/serv.port"
echo "$internal_port" >"$install/serv.internal.port"
echo "$domain" >"$install/serv.domain"
if [ ! -s "$install/serv.crt" ] || ! openssl x509 -in "$install/serv.crt" -noout -checkend 86400 \
  -checkhost "$domain" 2>/dev/null | grep -q "does match"; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 365 \
    -subj "/CN=$domain" -addext "subjectAltName=DNS:$domain" \
    -keyout "$install/serv.key" -out "$install/serv.crt" 2>/dev/null
  chmod 600 "$install/serv.key"
fi

# The argument of "function" travels as plain JSON: no decryption service in the demo.
printf '%s\n' NO_NEED_SEC LOGLEVEL=info >"$main_data/launcher.conf"

user=$(id -un)
printf '[{"id": 1, "user": "%s", "state": 0, "station": "console"}]\n' "$user" \
  >"$demo/sessions.json"

if [ -f scripts/demo/sample-installs.sh ]; then
  rm -rf "$demo/registry" "$demo/installs"
  PRODUCT_BIN=$bin VLREG=$bin/vlreg bash scripts/demo/sample-installs.sh "$demo/registry" \
    "$demo/installs"
fi

https=https://$domain:$port
cat <<EOF

Vantaro Launcher daemon demo
  HTTPS:  $https/   (certificate: build/demo/install/serv.crt)
  HTTP:   http://127.0.0.1:$internal_port/   (the communication page: /iframe)
  log:    build/demo/data/Quorvanti/VantaroLauncher/logs/

Try, from another terminal in $root:
  curl --cacert build/demo/install/serv.crt -X POST $https/getVersion
  curl --cacert build/demo/install/serv.crt -X POST $https/isDaemonBusy
  curl --cacert build/demo/install/serv.crt $https/function \\
       --data 'version=2.6&zorvidId=demo&arg={"functionName":"discoverAllInstall","params":{}}'
  curl http://127.0.0.1:$internal_port/iframe

The page: http://127.0.0.1:$page_port/?daemon=$https
  (accept the demo certificate once at $https/getVersion first)

EOF

run=(env QVYLD_INSTALL_DIR="$install" QVYLD_SESSION_FILE="$demo/sessions.json"
  QVYLD_REGISTRY_ROOT="$demo/registry" "$bin/VantaroLauncherService")
if [ $prepare_only -eq 1 ]; then
  echo "Run it with:"
  printf ' %q' "${run[@]}"
  echo
  exit 0
fi
python3 -m http.server --bind 127.0.0.1 --directory scripts/demo/page "$page_port" \
  >"$demo/page.log" 2>&1 &
page_pid=$!
trap 'kill "$page_pid" 2>/dev/null' EXIT
echo "Starting the daemon in the foreground (Ctrl+C stops it) ..."
"${run[@]}"
