#!/usr/bin/env bash
# Load test of the daemon's internal HTTP port: REQUESTS "getVersion" requests over 128
# keep-alive connections (wrk), while a second client (hold.py) holds IDLE idle connections
# and TRICKLE connections that send their request head one byte a second. Before and after,
# it samples the daemon's threads, open descriptors and resident memory. Not a test: it prints
# figures; what to look for is 0 errors and no growth once the load and the held connections
# are gone.
#
#   bench/wrk/load.sh                        uses build/default/bin/VantaroLauncherService
#   BIN=... REQUESTS=100000 IDLE=200 TRICKLE=200 LEVEL=warn bench/wrk/load.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${BIN:-$root/build/default/bin/VantaroLauncherService}
requests=${REQUESTS:-100000}
idle=${IDLE:-200}
trickle=${TRICKLE:-200}
level=${LEVEL:-warn}
threads=2

for tool in wrk python3 openssl; do
  command -v "$tool" >/dev/null || { echo "load.sh: $tool is missing" >&2; exit 1; }
done
[ -x "$bin" ] || { echo "load.sh: no daemon at $bin" >&2; exit 1; }

work=$(mktemp -d /tmp/vl-load.XXXXXX)
daemon_pid=""
hold_pid=""
cleanup() {
  [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null && wait "$hold_pid" 2>/dev/null
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=../lib.sh
. "$here/../lib.sh"
make_daemon_site
start_daemon_at "$level"

# sample: threads, open descriptors, resident kB.
sample() {
  local fds
  fds=$(find "/proc/$daemon_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "threads $(awk '/^Threads/ { print $2 }' "/proc/$daemon_pid/status")," \
    "descriptors $fds, RSS $(awk '/^VmRSS/ { print $2 }' "/proc/$daemon_pid/status") kB"
}

url="http://127.0.0.1:$internal_port/getVersion"
run_load() {  # REQUESTS: the wrk summary lines that tell rate, latency and errors
  local marks=$work/marks out=$work/wrk.out
  rm -rf "$marks" && mkdir -p "$marks"
  LOAD_REQUESTS_PER_THREAD=$(($1 / threads)) LOAD_MARK_DIR=$marks \
    wrk -t "$threads" -c 128 -d 600s --latency -s "$here/count.lua" "$url" >"$out" &
  local wrk_pid=$!
  # A thread that has made its share stops; wrk itself prints its figures on SIGINT.
  while [ "$(find "$marks" -name 'done-*' | wc -l)" -lt "$threads" ] &&
    kill -0 "$wrk_pid" 2>/dev/null; do
    sleep 0.2
  done
  kill -INT "$wrk_pid" 2>/dev/null || true
  wait "$wrk_pid" || true
  grep -E 'requests in|Requests/sec|Socket errors|Non-2xx|^ +(50|99)%' "$out" || true
}

echo "warm-up: 20000 requests" >&2
run_load 20000 >/dev/null
sleep 3
before=$(sample)

python3 "$here/hold.py" "$internal_port" "$idle" "$trickle" >"$work/hold.out" &
hold_pid=$!
sleep 3
during_hold=$(sample)
echo "load: $requests requests at 128 connections beside $idle idle and $trickle trickling" >&2
load=$(run_load "$requests")
during_load=$(sample)
kill "$hold_pid"
wait "$hold_pid" || true
hold_pid=""
sleep 3
after=$(sample)
echo "second load: $requests requests, nothing held" >&2
second=$(run_load "$requests")
sleep 3
after_second=$(sample)

echo
echo "load ($requests requests, 128 connections, LOGLEVEL=$level, $idle idle + $trickle trickling held):"
echo "$load"
cat "$work/hold.out"
echo "second load without held connections:"
echo "$second"
echo
echo "daemon after warm-up:            $before"
echo "with the held connections:       $during_hold"
echo "right after the load:            $during_load"
echo "3 s after the held ones closed:  $after"
echo "after a second load:             $after_second"
