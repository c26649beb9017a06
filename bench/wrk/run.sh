#!/usr/bin/env bash
# Measures the daemon's "getVersion" throughput and latency with wrk, over its internal HTTP
# port and over HTTPS, at 1, 16 and 128 keep-alive connections, against nginx serving the same
# answer as a static file on loopback in the same run; then the daemon's idle cost (CPU time,
# context switches, resident memory over IDLE_SECONDS). Not a test: it prints figures.
#
#   bench/wrk/run.sh                      uses build/default/bin/VantaroLauncherService
#   BIN=... DURATION=10 IDLE_SECONDS=60 LEVELS="warn debug" bench/wrk/run.sh
#
# Needs wrk, nginx (nginx-light) and openssl; nginx is started as the current user (root in
# CI) from a temporary configuration and stopped at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${BIN:-$root/build/default/bin/VantaroLauncherService}
duration=${DURATION:-10}
idle_seconds=${IDLE_SECONDS:-60}
levels=${LEVELS:-warn debug}
connections=(1 16 128)

for tool in wrk nginx openssl; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$bin" ] || { echo "run.sh: no daemon at $bin (cmake --build --preset default)" >&2; exit 1; }

work=$(mktemp -d /tmp/vl-wrk.XXXXXX)
daemon_pid=""
nginx_started=0
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  [ $nginx_started -eq 1 ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=../lib.sh
. "$here/../lib.sh"

# The site: the install folder of the daemon ("localhost" is the HTTPS domain, so that wrk
# resolves it), its data folder and the certificate that nginx shares.
make_daemon_site
mkdir -p "$work/www"
chmod 755 "$work" "$work/www"  # nginx workers run as nobody

start_daemon() {  # LOGLEVEL
  start_daemon_at "$1"
  wait_for_port "$port"
}

stop_daemon() {
  kill "$daemon_pid"
  wait "$daemon_pid" || true
  daemon_pid=""
}

# run_wrk NAME URL C: one line: NAME CONNECTIONS RPS P50_MS P99_MS.
run_wrk() {
  local name=$1 url=$2 c=$3 threads out
  {
    threads=$((c < 2 ? 1 : 2))
    out=$(wrk -t "$threads" -c "$c" -d "${duration}s" --latency -s "$here/post.lua" "$url")
    echo "$out" | awk -v name="$name" -v c="$c" '
      function ms(v) {
        if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; if (v ~ /s$/) return v * 1000
        return v
      }
      $1 == "50%" { p50 = ms($2) } $1 == "99%" { p99 = ms($2) }
      $1 == "Requests/sec:" { rps = $2 }
      /Non-2xx/ { bad = $NF }
      END { printf "%s %d %.0f %.3f %.3f %s\n", name, c, rps, p50, p99, (bad ? "non-2xx:" bad : "") }'
  }
}

# Idle cost: CPU ticks and context switches of all the daemon's threads over the idle time.
idle_sample() {
  local pid=$1 ticks switches=0 task
  ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  for task in /proc/"$pid"/task/*; do
    switches=$((switches + $(awk '/ctxt_switches/ { s += $2 } END { print s }' "$task/status")))
  done
  local tasks=(/proc/"$pid"/task/*)
  echo "$ticks $switches $(awk '/VmRSS/ { print $2 }' "/proc/$pid/status") ${#tasks[@]}"
}

results=$work/results.txt
: >"$results"

# nginx runs throughout: each daemon point is measured right beside nginx's, so that both
# see the same machine.
nginx_http=$(free_port)
nginx_https=$(free_port)
cp "$install/serv.crt" "$install/serv.key" "$work/"
sed -e "s|@DIR@|$work|g" -e "s|@HTTP_PORT@|$nginx_http|" -e "s|@HTTPS_PORT@|$nginx_https|" \
  "$here/nginx.conf.in" >"$work/nginx.conf"
nginx -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log"
nginx_started=1
wait_for_port "$nginx_http"

first=1
for level in $levels; do
  start_daemon "$level"
  if [ $first -eq 1 ]; then
    sleep 2
    read -r t0 s0 rss0 threads0 < <(idle_sample "$daemon_pid")
    echo "idle: measuring the daemon (LOGLEVEL=$level) for ${idle_seconds}s ..." >&2
    sleep "$idle_seconds"
    read -r t1 s1 rss1 threads1 < <(idle_sample "$daemon_pid")
    hz=$(getconf CLK_TCK)
    idle="idle ${idle_seconds}s: cpu $(( (t1 - t0) * 1000 / hz )) ms, context switches $((s1 - s0)), RSS ${rss0} kB -> ${rss1} kB, threads ${threads0} -> ${threads1}"
    first=0
  fi
  echo "load: daemon and nginx, LOGLEVEL=$level ..." >&2
  # The daemon's own answer is what nginx serves.
  curl -s -k -X POST "https://localhost:$port/getVersion" >"$work/www/getVersion"
  for c in "${connections[@]}"; do
    run_wrk "daemon-http-$level" "http://127.0.0.1:$internal_port/getVersion" "$c" >>"$results"
    run_wrk "nginx-http-$level" "http://127.0.0.1:$nginx_http/getVersion" "$c" >>"$results"
    run_wrk "daemon-https-$level" "https://localhost:$port/getVersion" "$c" >>"$results"
    run_wrk "nginx-https-$level" "https://localhost:$nginx_https/getVersion" "$c" >>"$results"
  done
  rss_after=$(awk '/VmRSS/ { print $2 }' "/proc/$daemon_pid/status")
  echo "daemon RSS after load (LOGLEVEL=$level): ${rss_after} kB" >>"$work/notes.txt"
  stop_daemon
done

# The table: one row per daemon configuration and connection count, with nginx beside it.
echo
echo "getVersion, ${duration}s per point (requests/s, median and 99th percentile in ms)"
printf '| %-20s | %5s | %9s | %7s | %7s | %9s | %7s | %7s | %6s |\n' \
  target conns "rps" p50 p99 "nginx rps" p50 p99 ratio
printf '|%s|\n' "----------------------|-------|-----------|---------|---------|-----------|---------|---------|--------"
awk '
  { rps[$1 " " $2] = $3; p50[$1 " " $2] = $4; p99[$1 " " $2] = $5; note[$1 " " $2] = $6
    if ($1 ~ /^daemon/) order[++n] = $1 " " $2 }
  END {
    for (i = 1; i <= n; i++) {
      split(order[i], k, " "); ref = k[1]; sub(/^daemon/, "nginx", ref); ref = ref " " k[2]
      printf "| %-20s | %5d | %9d | %7.3f | %7.3f | %9d | %7.3f | %7.3f | %6.2f | %s\n",
        k[1], k[2], rps[order[i]], p50[order[i]], p99[order[i]], rps[ref], p50[ref], p99[ref],
        (rps[ref] > 0 ? rps[order[i]] / rps[ref] : 0), note[order[i]]
    }
  }' "$results"
echo
echo "$idle"
cat "$work/notes.txt"
