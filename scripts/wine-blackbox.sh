#!/usr/bin/env bash
# The black-box suite against the Windows build (build/mingw) under Wine: the daemon installed
# in Wine's service control manager, started, asked over its plain-HTTP prefix, and stopped.
#
# Two rounds, each from "sc start" to a clean "sc stop":
#   plain    the daemon as installed: the plain prefix serves only the communication page and
#            refuses everything else (12, HTTPS needed). Wine has no HTTPS prefix.
#   harness  the test-harness mode (PMX_KTV_UUID set), which skips the transport rules, so the
#            whole dispatch answers over the plain prefix; the sessions come from a session
#            file (QVYLD_SESSION_FILE), as Wine reports none; two installations are recorded
#            in the registry with vlreg.exe for discoverAllInstall.
# A service takes its environment from the machine's environment in the registry.
#
# scripts/wine-tests.sh calls it with the Wine prefix ready (WINEPREFIX, a persistent
# wineserver and Wine's HTTP service running). Exit status 1 when a case fails.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${WINEPREFIX:?run through scripts/wine-tests.sh, which prepares the Wine prefix}"

build=$PWD/build/mingw
bin=$build/bin
site=$build/wine/site
service=QVYLaunchDaemon
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
failed=0

winpath() { echo "Z:${1//\//\\}"; }
service_state() { wine sc query "$service" | sed -n 's/.*STATE *: *\([0-9]\).*/\1/p'; }
machine_env() {  # NAME [VALUE]: sets the variable for services started afterwards, or removes it
  if [ $# -eq 2 ]; then
    wine reg add "$environment_key" /v "$1" /d "$2" /f >/dev/null
  else
    wine reg delete "$environment_key" /v "$1" /f >/dev/null 2>&1 || true
  fi
}

# An install folder as an installer makes it, with free ports.
rm -rf "$site"
mkdir -p "$site/data/Quorvanti/VantaroLauncher"
cp "$bin/VantaroLauncherService.exe" "$bin/VantaroLauncherGUI.exe" "$bin/VantaroLauncherSysTray.exe" \
  "$site/"
read -r main_port internal_port < <(python3 -c 'import socket
s=[socket.socket() for _ in range(2)]
[x.bind(("127.0.0.1",0)) for x in s]
print(*[x.getsockname()[1] for x in s])')
echo "$main_port" >"$site/serv.port"
echo "$internal_port" >"$site/serv.internal.port"
echo "vantaro-launcher.localhost" >"$site/serv.domain"
winpath "$site/data" >"$site/pdata.ptr"
# NO_NEED_SEC: the argument travels as plain JSON, no decryption service is asked.
# IGNORE_TOKEN_ERROR: Wine has no session user's token, so the harness mode starts the worker
# in the daemon's own context.
printf 'NO_NEED_SEC\nIGNORE_TOKEN_ERROR\nLOGLEVEL=all\n' >"$site/data/Quorvanti/VantaroLauncher/launcher.conf"

# Two installations, as their setup programs record them (vlreg.exe writes Wine's registry).
installs=$site/installs
reg() { wine "$bin/vlreg.exe" add "$@" /reg:64 >/dev/null; }
record() {  # KEY FOLDER NAME=VALUE...
  local key=$1 folder=$installs/$2 pair
  shift 2
  mkdir -p "$folder/win_b64/code/bin"
  reg "$key" /v Path /d "$(winpath "$folder")"
  for pair in "$@"; do
    reg "$key" /v "${pair%%=*}" /d "${pair#*=}"
  done
}
design='HKLM\Software\Quorvanti\Z5\L24\DESIGN\L24_4_DEMO'
record "$design" L24_Design Level=L24.4 GAlevel=L24 SPlevel=SP4 Osds=win_b64 PkgId=B424-0417 \
  ShortName=Design "LongName=Design Studio 2024" Type=full BigContent=true ProductLine=DSN,SIM
reg "$design\\prd" /v designstudio.exe /d ""
# Stand-ins for the product's start tool and application: any Windows program will do.
cp "$bin/vlreg.exe" "$installs/L24_Design/win_b64/code/bin/VRKSTART.exe"
cp "$bin/vlreg.exe" "$installs/L24_Design/win_b64/code/bin/designstudio.exe"
reg "$design\\app\\DSN_Modeler" /v brand /d DSN
record 'HKLM\Software\Quorvanti\Z5_Common\TOOLS' Common_Tools Level=L25 GAlevel=L25 \
  Osds=win_b64 PkgId=T250-0102 ShortName=Tools "LongName=Common Tools" Type=common

wine sc create "$service" binPath= "$(winpath "$site/VantaroLauncherService.exe")" >/dev/null

start_service() {
  wine sc start "$service" >/dev/null
  for _ in $(seq 100); do
    curl -s -m 2 -o /dev/null "http://127.0.0.1:$internal_port/iframe" && return 0
    sleep 0.1
  done
  echo "FAILED: the service does not answer on port $internal_port"
  return 1
}

# "sc stop" does not wait: poll until the service reports STOPPED (1). A clean stop also
# leaves no process of the site (the daemon or its worker) and logs the server's stop.
stops=0
site_programs="$(winpath "$site" | tr '\\' .).Vantaro"
stop_service() {
  wine sc stop "$service" >/dev/null || true
  local end=$((SECONDS + 15)) state
  while state=$(service_state) && [ "$state" != 1 ] && [ $SECONDS -lt $end ]; do
    sleep 0.1
  done
  if [ "$state" != 1 ]; then
    echo "FAILED: the service did not report STOPPED within 15 s (state $state)"
    return 1
  fi
  stops=$((stops + 1))
  end=$((SECONDS + 5))
  while pgrep -f "$site_programs" >/dev/null && [ $SECONDS -lt $end ]; do
    sleep 0.1
  done
  if pgrep -af "$site_programs"; then
    echo "FAILED: processes of the site remain after the stop"
    return 1
  fi
  if [ "$(cat "$site"/data/Quorvanti/VantaroLauncher/logs/*/*.txt |
    grep -c 'HTTP server successfully stopped')" != "$stops" ]; then
    echo "FAILED: the HTTP server did not log its stop"
    return 1
  fi
  echo "service stopped"
}

# round_once MODE: one start, the cases of MODE, one stop. Status 75 when a request was never
# answered (the cases stop there), 1 when a case failed.
round_once() {
  printf '\n-- the service, %s mode --\n' "$1"
  start_service || return 1
  local rc=0
  python3 - "$1" "$internal_port" "$site/sessions.json" "$(winpath "$installs")" \
    "$site/data/Quorvanti/VantaroLauncher/logs" <<'PY' || rc=$?
import http.client, json, os, pathlib, socket, sys, time, urllib.parse

mode, port, session_file, installs, logs = sys.argv[1:6]
port = int(port)
failures = []
# Cases that Wine cannot pass (README, "Known gaps"): reported, not required.
WINE_GAPS = {
    "getVersion percent-encoded": "Wine's HTTP service leaves the path percent-encoded",
}


def log_text():
    return "".join(p.read_text(errors="replace") for p in sorted(pathlib.Path(logs).rglob("*.txt")))


def ask(verb, path, body=None):
    # Generous: a loaded machine runs Wine slowly, the worker's first start most of all.
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request(verb, "/" + path, body=body)
    reply = connection.getresponse()
    text = reply.read().decode("utf-8", "replace")
    headers = {k.lower(): v for k, v in reply.getheaders()}
    connection.close()
    return reply.status, headers, text


def body(version="2.6", page="wine-page", arg=None):
    fields = {"version": version, "zorvidId": page}
    if arg is not None:
        fields["arg"] = arg if isinstance(arg, str) else json.dumps(arg)
    # Percent-encoded throughout: the daemon turns no "+" into a blank.
    return urllib.parse.urlencode({k: v for k, v in fields.items() if v is not None},
                                  quote_via=urllib.parse.quote)


def check(name, verb, path, data, code, contains):
    """code None: the answer is the communication page, not a JSON object."""
    try:
        status, headers, text = ask(verb, path, data)
    except TimeoutError:
        # Wine's HTTP service at times stops passing requests on to the queue, a whole
        # minute with no answer: the round is run again on a restarted Wine.
        print("STALL " + name)
        sys.exit(75)
    except OSError as error:
        failures.append(f"{name}: {error}")
        print("FAIL  " + name)
        return
    problems = []
    if status != 200:
        problems.append(f"status {status}")
    if headers.get("access-control-allow-origin") != "*":
        problems.append("no Access-Control-Allow-Origin: *")
    if code is not None:
        try:
            answer = json.loads(text)
            if answer["returnCode"] != code:
                problems.append(f"returnCode {answer['returnCode']}, not {code}")
            text = json.dumps(answer)
        except (ValueError, KeyError):
            problems.append("not an answer object")
    if contains not in text:
        problems.append(f"no {contains!r}")
    if problems and name in WINE_GAPS:
        print(f"gap   {name}: {WINE_GAPS[name]}")
        return
    if problems:
        failures.append(f"{name}: {', '.join(problems)}: {text[:300]}")
    print(("ok    " if not problems else "FAIL  ") + name)


def sessions(states):
    entries = [{"id": i + 1, "user": "tester", "state": s, "station": "Console"}
               for i, s in enumerate(states)]
    with open(session_file, "w") as out:
        json.dump(entries, out)


unknown = {"functionName": "noSuchFunction", "params": {}}
page = "Communication Frame"
plain = [
    ("getVersion needs HTTPS", "POST", "getVersion", None, 12, "HTTPS is required"),
    ("isDaemonBusy needs HTTPS", "POST", "isDaemonBusy", None, 12, "null"),
    ("function needs HTTPS", "POST", "function", body(arg=unknown), 12, "null"),
    ("the page over plain HTTP", "GET", "iframe", None, None, page),
    ("the page only by GET", "POST", "iframe", None, 105, "null"),
]
harness = [
    ("getVersion", "POST", "getVersion", None, 0, '"daemon": "2.6", "build": "7.3"'),
    ("getVersion with a query", "POST", "getVersion?x=1", None, 0, '"daemon": "2.6"'),
    ("getVersion percent-encoded", "POST", "getVers%69on", None, 0, '"daemon": "2.6"'),
    ("no transport rules: GET", "GET", "isDaemonBusy", None, 0, "false"),
    ("isDaemonBusy", "POST", "isDaemonBusy", None, 0, "false"),
    ("the page", "GET", "iframe", None, None, page),
    ("the page only by GET", "POST", "iframe", None, 105, "null"),
    ("empty path", "POST", "", None, 93, "null"),
    ("no version", "POST", "function", "zorvidId=p", 91, "null"),
    ("no page id", "POST", "function", "version=2.6", 110, "null"),
    ("level no number", "POST", "function", body(version="two"), 103, "Cannot parse"),
    ("level above", "POST", "function", body(version="9.9"), 103, "above the current"),
    ("level below", "POST", "function", body(version="0.0"), 103, "lower than"),
    ("unknown main path", "POST", "elsewhere", body(arg=unknown), 90, "elsewhere"),
    ("no argument", "POST", "function", body(), 92, "no argument string"),
    ("argument not JSON", "POST", "function", body(arg="[1"), 95, "[[1]"),
    ("no functionName", "POST", "function", body(arg={"params": {}}), 96, "[functionName]"),
    ("no params", "POST", "function", body(arg={"functionName": "x"}), 96, "[params]"),
    ("unknown function", "POST", "function", body(arg=unknown), 97, "noSuchFunction"),
    ("long argument in pieces", "POST", "function", body(arg="x" * 70000), 95, "x" * 100),
]

if mode == "plain":
    for case in plain:
        check(*case)
else:
    # One active session is what the main functions need; anything else is 106.
    for states, code in (([], 106), ([1, 2], 106), ([0, 0], 106), ([1, 0], 97)):
        sessions(states)
        check(f"sessions {states}", "POST", "function", body(arg=unknown), code, "")
    sessions([0])
    for case in harness:
        check(*case)
    discover = {"functionName": "discoverAllInstall", "params": {}}
    check("discoverAllInstall", "POST", "function", body(arg=discover), 0,
          '"longName": "Design Studio 2024"')
    check("discoverAllInstall, common", "POST", "function", body(arg=discover), 0,
          json.dumps(installs + "\\Common_Tools")[1:-1])
    # The worker, started by the daemon, answers over its pipe.
    shortcut = {"functionName": "createShortcut",
                "params": {"level": "L24.4", "exeName": "designstudio.exe", "scName": "Wine Test"}}
    check("createShortcut", "POST", "function", body(arg=shortcut), 0, "Success")
    # The worker's shell link lands on the desktop of the service's profile in the prefix.
    links = list(pathlib.Path(os.environ["WINEPREFIX"], "drive_c").rglob("Wine Test.lnk"))
    if not links:
        failures.append("createShortcut: no Wine Test.lnk in the prefix")
    print(("ok    " if links else "FAIL  ") + "the shortcut is a shell link on the desktop")
    exchanged = '[UserExtension::RunOperation] data received : {"rc": 0' in log_text()
    if not exchanged:
        failures.append("the worker: no reply over its pipe")
    print(("ok    " if exchanged else "FAIL  ") + "the worker answers over its pipe")

# HTTP/1.0 is refused; keep-alive holds the connection for the next request. Wine's HTTP
# service answers nothing to a Host without the port: give it.
host = f"Host: 127.0.0.1:{port}\r\n".encode()


def first_bytes(request):
    """The start of the answer on a fresh connection. Wine's HTTP service now and then drops
    a request sent at once on a new connection (README, "Known gaps"): up to three tries."""
    for _ in range(3):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            raw.sendall(request)
            try:
                return raw.recv(4096).decode("latin-1")
            except socket.timeout:
                print("note  a request on a new connection got no answer: once more")
    return ""


first = first_bytes(b"GET /iframe HTTP/1.0\r\n" + host + b"\r\n")
if not first.startswith("HTTP/1.1 505 "):
    failures.append("HTTP/1.0: " + first[:80])
print(("ok    " if first.startswith("HTTP/1.1 505 ") else "FAIL  ") + "HTTP/1.0 refused")
try:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for _ in range(3):
        connection.request("GET", "/iframe")
        connection.getresponse().read()
    connection.close()
    print("ok    keep-alive")
except OSError as error:
    failures.append(f"keep-alive: {error}")
    print("FAIL  keep-alive")

# Known gap (README): Wine's HTTP service keeps a connection open after an answer to a request
# that asked "Connection: close", whatever the answer's flags. Reported, not required.
with socket.create_connection(("127.0.0.1", port), timeout=15) as raw:
    raw.sendall(b"GET /iframe HTTP/1.1\r\n" + host + b"Connection: close\r\n\r\n")
    started = time.monotonic()
    raw.settimeout(2)
    try:
        while raw.recv(65536):
            pass
        print(f"ok    Connection: close honoured ({time.monotonic() - started:.1f} s)")
    except socket.timeout:
        print("gap   Connection: close not honoured under Wine (still open after 2 s)")

for failure in failures:
    print("FAILED: " + failure)
sys.exit(1 if failures else 0)
PY
  stop_service || rc=1
  return "$rc"
}

# round MODE: round_once, once more after a stall of Wine's HTTP service.
round() {
  local rc=0
  round_once "$1" || rc=$?
  if [ "$rc" = 75 ]; then
    echo "gap   Wine's HTTP service stopped passing requests on: Wine restarted, the round again"
    restart_wine
    # As at the first try, no session yet: with one, the daemon starts the tray at its start.
    rm -f "$site/sessions.json"
    rc=0
    round_once "$1" || rc=$?
  fi
  [ "$rc" = 0 ] || failed=1
}

# restart_wine: Wine's service control manager gives services the machine environment that
# the registry held when Wine started: restart Wine after changing it.
restart_wine() {
  wineserver -k
  wineserver -w
  wineserver -p >/dev/null 2>&1 </dev/null
  wine net start http >/dev/null 2>&1
}

round plain
machine_env PMX_KTV_UUID wine-blackbox
machine_env QVYLD_SESSION_FILE "$(winpath "$site/sessions.json")"
restart_wine
round harness
wine sc delete "$service" >/dev/null || true
machine_env PMX_KTV_UUID
machine_env QVYLD_SESSION_FILE
if grep -rqs '!EX!' "$site/data/Quorvanti/VantaroLauncher/logs"; then
  echo "FAILED: the daemon logged a crash:"
  grep -rh -A3 '!EX!' "$site/data/Quorvanti/VantaroLauncher/logs" | head -20
  failed=1
fi
exit "$failed"
