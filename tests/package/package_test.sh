#!/usr/bin/env bash
# The launcher's Debian package on this machine, as root: install, HTTPS with the machine's
# own authority (curl with the system store only, headless Chromium with the user's NSS
# database and no certificate switch), the tray's trust call for a user made later, a
# self-update to a newer package (by path, then by download with the maker's signature) and a
# failed one, the refusal of a download without a key or a signature, renewal on a domain change, and a purge
# that leaves no file and no trust behind but keeps the products' registry store.
# Usage: package_test.sh <package.deb>. It changes the machine: run it alone.
set -euo pipefail

deb=$(readlink -f "$1")
pkg=vantaro-launcher
lib=/usr/lib/vantaro-launcher
etc=/etc/vantaro-launcher
data=/var/lib/Quorvanti/VantaroLauncher
nick="Vantaro Launcher local authority"
work=$(mktemp -d /tmp/vl-package.XXXXXX)
chmod 755 "$work"
early=vlpk_a$$
late=vlpk_b$$
daemon=
web_server=

fail() { echo "FAIL: $*" >&2; [ -z "${2:-}" ] || tail -n 40 "$2" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "the package test needs root"
command -v certutil >/dev/null || skip "certutil (libnss3-tools) is missing"

stop_daemon() {
    if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
        kill "$daemon"
        for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    fi
    daemon=
}
cleanup() {
    stop_daemon
    [ -z "$web_server" ] || kill "$web_server" 2>/dev/null || true
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
    rm -rf /var/lib/vantaro-launcher
    for u in "$early" "$late"; do userdel -r "$u" >/dev/null 2>&1 || true; done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
user_db_has() { # user home -> the authority's fingerprint in the user's Chromium database
    runuser -u "$1" -- certutil -d "sql:$2/.pki/nssdb" -L -n "$nick" -a 2>/dev/null |
        openssl x509 -noout -fingerprint -sha256 2>/dev/null
}
ca_print() { openssl x509 -in "$etc/ca.crt" -noout -fingerprint -sha256; }
in_system_store() { # certificate -> its issuer is one of the system bundle's authorities
    openssl verify -no-CApath -no-CAstore -CAfile /etc/ssl/certs/ca-certificates.crt "$1" \
        >/dev/null 2>&1
}
start_daemon() {
    QVYLD_SESSION_FILE="$work/sessions.json" QVYLD_LOG_STDOUT=0 "$lib/VantaroLauncherService" \
        >"$work/daemon.out" 2>&1 &
    daemon=$!
    for _ in $(seq 200); do
        answer=$(https getVersion || true)
        [ -n "$answer" ] && return 0
        sleep 0.1
    done
    fail "the installed daemon does not serve" "$work/daemon.out"
}
https() { # path [body]: an answer over HTTPS, trusting the system store only
    curl -s --cacert /etc/ssl/certs/ca-certificates.crt --capath /nonexistent \
        --resolve "vantaro-launcher.localhost:$port:127.0.0.1" \
        "https://vantaro-launcher.localhost:$port/$1" --data "${2:-}"
}
newer_package() { # version out.deb [preinst exit code]: the built package with another
    # version, pinning the test's update key as a package built with VL_UPDATE_KEY does
    local tree="$work/tree-$1"
    rm -rf "$tree"
    dpkg-deb -R "$deb" "$tree"
    sed -i "s/^Version: .*/Version: $1/" "$tree/DEBIAN/control"
    echo "$1" >"$tree/usr/lib/vantaro-launcher/version"
    cp "$work/maker.pub" "$tree/usr/lib/vantaro-launcher/update-key.pem"
    if [ -n "${3:-}" ]; then
        printf '#!/bin/sh\nexit %s\n' "$3" >"$tree/DEBIAN/preinst"
        chmod 755 "$tree/DEBIAN/preinst"
    fi
    dpkg-deb -Zgzip -z1 -b "$tree" "$2" >/dev/null
    rm -rf "$tree"
}
update_request() { # params -> the answer to "selfUpdate"
    https function "version=2.6&zorvidId=package-test&arg={\"functionName\":\"selfUpdate\",\"params\":$1}"
}
by_download() { # package.deb -> "selfUpdate" parameters that name it on the test's server
    echo "{\"url\":\"https://vantaro-launcher.localhost:$web_port/$(basename "$1")\",\"hash\":\"$(md5sum <"$1" | cut -c1-32)\",\"size\":$(stat -c %s "$1")}"
}
self_update() { # package | params -> waits for the outcome line in the newest update log
    local answer log params=$1
    [ "${1:0:1}" = "{" ] || params="{\"path\":\"$1\"}"
    answer=$(update_request "$params")
    echo "$answer" | grep -q '"returnCode": 0' || fail "selfUpdate answered $answer" "$work/daemon.out"
    for _ in $(seq 600); do
        log=$(ls -t "$data"/logs/update_logs/*.txt 2>/dev/null | head -n 1)
        if [ -n "$log" ] && grep -q "update succeeded\|update failed" "$log"; then
            cat "$log" >"$work/update.log"
            return 0
        fi
        sleep 0.2
    done
    fail "no update outcome" "$log"
}

echo "== purge before, throwaway users"
dpkg --purge "$pkg" >/dev/null 2>&1 || true
useradd -m -s /usr/sbin/nologin "$early"
early_home=$(getent passwd "$early" | cut -d: -f6)
runuser -u "$early" -- mkdir -p -m 700 "$early_home/.pki/nssdb"
runuser -u "$early" -- certutil -N -d "sql:$early_home/.pki/nssdb" --empty-password

echo "== install"
dpkg -i "$deb" >"$work/dpkg.out" 2>&1 || fail "dpkg -i failed" "$work/dpkg.out"
for f in VantaroLauncherService VantaroLauncherGUI VantaroLauncherSysTray vlreg version; do
    [ -f "$lib/$f" ] || fail "$lib/$f is missing"
done
[ "$(stat -c %a "$etc/serv.key")" = 600 ] || fail "the daemon's key is not 0600"
if find /etc /usr/lib/vantaro-launcher /var/lib /run -xdev -newer "$deb" -type f -size -8k \
    -print 2>/dev/null | grep -v "^$etc/serv.key$" | xargs -r grep -l "PRIVATE KEY" 2>/dev/null | grep -q .; then
    fail "a private key other than the daemon's was left behind"
fi
openssl x509 -in "$etc/ca.crt" -noout -text | grep -A2 "Name Constraints: critical" |
    grep -q "DNS:vantaro-launcher.localhost" || fail "the authority has no name constraint"
openssl verify -CAfile "$etc/ca.crt" "$etc/serv.crt" >/dev/null || fail "the certificate is not the authority's"
in_system_store "$etc/serv.crt" || fail "the authority is not in the system store"
[ "$(user_db_has "$early" "$early_home")" = "$(ca_print)" ] || fail "the existing user's NSS database lacks the authority"

echo "== the installed daemon over HTTPS"
port=$(free_port)
echo "$port" >"$etc/serv.port"
mkdir -p "$data"
printf 'NO_NEED_SEC\n' >"$data/launcher.conf"
printf '[{"id": 1, "user": "root", "state": 0, "station": "console"}]' >"$work/sessions.json"
start_daemon
echo "$answer" | grep -q '"returnCode": 0' || fail "getVersion over HTTPS answered '$answer'" "$work/daemon.out"
echo "$answer" | grep -q '"msi": "7.3.0"' || fail "getVersion does not show the package: $answer"

echo "== headless Chromium, no certificate switch, the user's NSS database"
runuser -u "$early" -- env HOME="$early_home" timeout 60 chromium --headless --no-sandbox \
    --disable-gpu --no-first-run --user-data-dir="$early_home/chromium" \
    --dump-dom "https://vantaro-launcher.localhost:$port/iframe" >"$work/dom.html" 2>/dev/null || true
grep -q "<title>Communication Frame</title>" "$work/dom.html" ||
    fail "Chromium did not load the communication page" "$work/dom.html"

echo "== a user made after the installation: the tray's trust call"
useradd -m -s /usr/sbin/nologin "$late"
late_home=$(getent passwd "$late" | cut -d: -f6)
runuser -u "$late" -- env HOME="$late_home" "$lib/vantaro-launcher-trust" user
[ "$(user_db_has "$late" "$late_home")" = "$(ca_print)" ] || fail "the tray's call did not trust the authority"

echo "== an update by download, from a build without an update key: refused"
mkdir -p "$work/www"
openssl genpkey -algorithm ed25519 -out "$work/maker.key" 2>/dev/null
openssl pkey -in "$work/maker.key" -pubout -out "$work/maker.pub"
# The test's server: the daemon's own certificate, which the system store trusts.
web_port=$(free_port)
python3 -c 'import http.server, ssl, sys, functools
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[3], sys.argv[4])
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()' "$work/www" "$web_port" "$etc/serv.crt" "$etc/serv.key" >/dev/null 2>&1 &
web_server=$!
[ ! -e "$lib/update-key.pem" ] || fail "a package built without VL_UPDATE_KEY ships an update key"
cp "$deb" "$work/www/same.deb"
answer=$(update_request "$(by_download "$work/www/same.deb")")
echo "$answer" | grep -q '"returnCode": 202' || fail "an update without a key answered $answer"
grep -rq "no update key is installed" "$data/logs/VantaroLauncher_service" ||
    fail "no refusal line for the missing key" "$work/daemon.out"

echo "== self-update to a newer package"
newer_package 7.3.0+t1 "$work/newer.deb"
self_update "$work/newer.deb"
grep -q "update succeeded" "$work/update.log" || fail "the update failed" "$work/update.log"
[ "$(dpkg-query -W -f='${Version}' "$pkg")" = 7.3.0+t1 ] || fail "the newer package is not installed"
stop_daemon
start_daemon
echo "$answer" | grep -q '"msi": "7.3.0+t1"' || fail "the updated daemon answers $answer"

echo "== by download: unsigned refused, signed by the pinned key installed"
newer_package 7.3.0+t2 "$work/www/signed.deb"
answer=$(update_request "$(by_download "$work/www/signed.deb")")
echo "$answer" | grep -q '"returnCode": 202' || fail "an unsigned download answered $answer"
openssl pkeyutl -sign -inkey "$work/maker.key" -rawin -in "$work/www/signed.deb" \
    -out "$work/www/signed.deb.sig"
self_update "$(by_download "$work/www/signed.deb")"
grep -q "update succeeded" "$work/update.log" || fail "the signed update failed" "$work/update.log"
[ "$(dpkg-query -W -f='${Version}' "$pkg")" = 7.3.0+t2 ] || fail "the signed package is not installed"
kill "$web_server"
web_server=
stop_daemon
start_daemon
echo "$answer" | grep -q '"msi": "7.3.0+t2"' || fail "the updated daemon answers $answer"

echo "== a package that fails to install leaves the launcher as it was"
newer_package 7.3.0+t3 "$work/broken.deb" 1
self_update "$work/broken.deb"
grep -q "update failed" "$work/update.log" || fail "a broken package was reported installed" "$work/update.log"
[ "$(dpkg-query -W -f='${Version}' "$pkg")" = 7.3.0+t2 ] || fail "the launcher changed"
https getVersion | grep -q '"returnCode": 0' || fail "the launcher stopped answering"
stop_daemon

echo "== renewal when serv.domain changes: a new authority everywhere"
old_ca="$work/old-ca.crt"
cp "$etc/ca.crt" "$old_ca"
cp "$etc/serv.crt" "$work/old-serv.crt"
echo vl-renewed.localhost >"$etc/serv.domain"
"$lib/vantaro-launcher-trust" renew 2>/dev/null
openssl x509 -in "$etc/serv.crt" -noout -checkhost vl-renewed.localhost | grep -q " does match" ||
    fail "the certificate was not renewed for the new domain"
[ "$(ca_print)" != "$(openssl x509 -in "$old_ca" -noout -fingerprint -sha256)" ] || fail "the authority was kept"
in_system_store "$etc/serv.crt" || fail "the new authority is not in the system store"
! in_system_store "$work/old-serv.crt" || fail "the old authority is still in the system store"
[ "$(user_db_has "$early" "$early_home")" = "$(ca_print)" ] || fail "the user's database has the old authority"

echo "== purge"
mkdir -p /var/lib/vantaro-launcher/registry
echo "registry of the products" >/var/lib/vantaro-launcher/registry/HKLM64.reg
cp "$etc/serv.crt" "$work/last-serv.crt"
dpkg --purge "$pkg" >"$work/dpkg.out" 2>&1 || fail "dpkg --purge failed" "$work/dpkg.out"
for path in "$lib" "$etc" "$data" /usr/share/ca-certificates/vantaro-launcher /usr/lib/systemd/system/vantaro-launcher.service; do
    [ ! -e "$path" ] || fail "$path is left after the purge"
done
! grep -q vantaro-launcher /etc/ca-certificates.conf || fail "the store's list still names the authority"
! in_system_store "$work/last-serv.crt" || fail "the authority is still in the system store"
for u in "$early:$early_home" "$late:$late_home"; do
    [ -z "$(user_db_has "${u%%:*}" "${u#*:}")" ] || fail "${u%%:*}'s database still has the authority"
done
[ -f /var/lib/vantaro-launcher/registry/HKLM64.reg ] || fail "the products' registry store was removed"
echo "PASS"
