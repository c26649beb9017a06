# Shared pieces of the benchmark scripts; source it after setting `work` (a temporary folder).

# free_port prints a loopback TCP port that nothing listens on.
free_port() {
  local port
  while :; do
    port=$((RANDOM % 30000 + 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

# wait_for_port PORT waits up to 10 s for a listener on the loopback port.
wait_for_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "$(basename "$0"): nothing listens on port $1" >&2
  return 1
}

# make_daemon_site sets up the daemon's install folder ($install), data folder ($main_data),
# its two ports ($port for HTTPS as "localhost", $internal_port for plain HTTP), a throwaway
# certificate and a one-session file ($work/sessions.json) naming root.
make_daemon_site() {
  install=$work/install
  main_data=$work/data/Quorvanti/VantaroLauncher
  mkdir -p "$install" "$main_data"
  port=$(free_port)
  internal_port=$(free_port)
  echo "$work/data" >"$install/pdata.ptr"
  echo "$port" >"$install/serv.port"
  echo "$internal_port" >"$install/serv.internal.port"
  echo localhost >"$install/serv.domain"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -keyout "$install/serv.key" -out "$install/serv.crt" 2>/dev/null
  echo '[{"id": 1, "user": "root", "state": 0, "station": "console"}]' >"$work/sessions.json"
}

# start_daemon_at LEVEL starts $bin on the site with that log level; daemon_pid is its pid.
start_daemon_at() {
  printf '%s\n' "LOGLEVEL=$1" >"$main_data/launcher.conf"
  QVYLD_INSTALL_DIR=$install QVYLD_SESSION_FILE=$work/sessions.json QVYLD_LOG_STDOUT=0 \
    "$bin" >"$work/daemon.out" 2>&1 &
  daemon_pid=$!
  wait_for_port "$internal_port"
}
