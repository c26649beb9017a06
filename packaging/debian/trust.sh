# The launcher's HTTPS trust, shared by the maintainer scripts, the unit's start and the tray.
#
# Each machine gets its own certificate authority. It is limited by a name constraint to
# the daemon's HTTPS domain (serv.domain), so it can vouch for nothing else. It signs the
# daemon's certificate once and its key is deleted at once: the key never reaches a file
# outside a private temporary folder, and no one can sign with the authority later.
# Renewing therefore means a new authority, which replaces the old one in every store:
# the system store (update-ca-certificates) and the users' NSS databases (Chromium's
# ~/.pki/nssdb, Firefox profiles), where browsers on Linux look.

VL_ETC=/etc/vantaro-launcher
VL_CA_NICK="Vantaro Launcher local authority"
VL_CA_STORE_DIR=/usr/share/ca-certificates/vantaro-launcher
VL_CA_STORE_ENTRY=vantaro-launcher/vantaro-launcher-ca.crt
VL_CA_CONF=/etc/ca-certificates.conf
VL_VALID_DAYS=397
VL_RENEW_DAYS=30

vl_log() { echo "vantaro-launcher: $*" >&2; }

vl_domain() {
    d=$(head -n 1 "$VL_ETC/serv.domain" 2>/dev/null | tr -d ' \t\r')
    [ -n "$d" ] || d=vantaro-launcher.localhost
    echo "$d"
}

# vl_needs_renewal succeeds when the certificate is missing, ends within VL_RENEW_DAYS, or
# is not for the configured domain.
vl_needs_renewal() {
    [ -s "$VL_ETC/serv.crt" ] && [ -s "$VL_ETC/serv.key" ] && [ -s "$VL_ETC/ca.crt" ] || return 0
    openssl x509 -in "$VL_ETC/serv.crt" -noout -checkend $((VL_RENEW_DAYS * 86400)) \
        >/dev/null 2>&1 || return 0
    openssl x509 -in "$VL_ETC/serv.crt" -noout -checkhost "$(vl_domain)" 2>/dev/null |
        grep -q " does match" || return 0
    return 1
}

vl_openssl_config() {
    cat <<CNF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = $VL_CA_NICK for $1
[authority]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
nameConstraints = critical, permitted;DNS:$1
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:$1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
}

# vl_issue makes a new authority and the daemon's certificate, deletes the authority's key
# and installs the authority in every store in place of the old one.
vl_issue() {
    domain=$(vl_domain)
    old_umask=$(umask)
    umask 077
    work=$(mktemp -d -p /run 2>/dev/null || mktemp -d)
    vl_openssl_config "$domain" >"$work/openssl.cnf"
    if ! openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
            -keyout "$work/ca.key" -out "$work/ca.crt" -days $((VL_VALID_DAYS + 1)) \
            -config "$work/openssl.cnf" -extensions authority >/dev/null 2>&1 ||
        ! openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
            -keyout "$work/serv.key" -out "$work/serv.csr" -subj "/CN=$domain" \
            >/dev/null 2>&1 ||
        ! openssl x509 -req -in "$work/serv.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
            -set_serial "0x$(openssl rand -hex 16)" -days "$VL_VALID_DAYS" \
            -extfile "$work/openssl.cnf" -extensions server -out "$work/serv.crt" \
            >/dev/null 2>&1; then
        rm -rf "$work"
        umask "$old_umask"
        vl_log "cannot make the HTTPS certificate for $domain"
        return 1
    fi
    rm -f "$work/ca.key"
    mkdir -p "$VL_ETC"
    install -m 0644 "$work/ca.crt" "$VL_ETC/ca.crt.new"
    install -m 0644 "$work/serv.crt" "$VL_ETC/serv.crt.new"
    install -m 0600 "$work/serv.key" "$VL_ETC/serv.key.new"
    mv -f "$VL_ETC/ca.crt.new" "$VL_ETC/ca.crt"
    mv -f "$VL_ETC/serv.key.new" "$VL_ETC/serv.key"
    mv -f "$VL_ETC/serv.crt.new" "$VL_ETC/serv.crt"
    rm -rf "$work"
    umask "$old_umask"
    vl_log "new local authority and HTTPS certificate for $domain"
    vl_trust_all
}

# vl_users lists "name home" for root and every account with a home folder.
vl_users() {
    getent passwd | while IFS=: read -r name _ uid _ _ home _; do
        [ -n "$home" ] && [ -d "$home" ] && [ "$home" != / ] || continue
        [ "$uid" -eq 0 ] || [ "$uid" -ge 1000 ] || continue
        echo "$name $home"
    done
}

# vl_user_dbs lists the NSS databases below a home folder: Chromium's and Firefox's.
vl_user_dbs() {
    for db in "$1/.pki/nssdb" "$1"/.mozilla/firefox/*/ "$1"/snap/firefox/common/.mozilla/firefox/*/; do
        [ -f "$db/cert9.db" ] && echo "${db%/}"
    done
}

# vl_as runs a command as the user (itself when it is the caller).
vl_as() {
    user=$1
    shift
    if [ "$(id -u)" -eq 0 ] && [ "$user" != root ]; then
        runuser -u "$user" -- "$@"
    else
        "$@"
    fi
}

vl_db_remove() {
    i=0
    while [ $i -lt 10 ] && vl_as "$1" certutil -d "sql:$2" -D -n "$VL_CA_NICK" >/dev/null 2>&1; do
        i=$((i + 1))
    done
}

# vl_db_add puts the current authority in one database, unless it is there already.
vl_db_add() {
    if vl_as "$1" certutil -d "sql:$2" -L -n "$VL_CA_NICK" -a 2>/dev/null |
        openssl x509 -noout -fingerprint -sha256 2>/dev/null |
        grep -qF "$(openssl x509 -in "$VL_ETC/ca.crt" -noout -fingerprint -sha256)"; then
        return 0
    fi
    vl_db_remove "$1" "$2"
    vl_as "$1" certutil -d "sql:$2" -A -t "C,," -n "$VL_CA_NICK" -i "$VL_ETC/ca.crt" ||
        vl_log "cannot add the local authority to $2"
}

vl_trust_system() {
    if cmp -s "$VL_ETC/ca.crt" "$VL_CA_STORE_DIR/vantaro-launcher-ca.crt" &&
        grep -qxF "$VL_CA_STORE_ENTRY" "$VL_CA_CONF" 2>/dev/null; then
        return 0 # already there: the store's hooks are slow, run them only for a change
    fi
    mkdir -p "$VL_CA_STORE_DIR"
    install -m 0644 "$VL_ETC/ca.crt" "$VL_CA_STORE_DIR/vantaro-launcher-ca.crt"
    if ! grep -qxF "$VL_CA_STORE_ENTRY" "$VL_CA_CONF" 2>/dev/null; then
        [ ! -s "$VL_CA_CONF" ] || [ -z "$(tail -c 1 "$VL_CA_CONF")" ] || echo >>"$VL_CA_CONF"
        echo "$VL_CA_STORE_ENTRY" >>"$VL_CA_CONF"
    fi
    # The bundle is made afresh from the listed files at every run, so a renewed authority
    # under the same name replaces the old one there too.
    update-ca-certificates >/dev/null 2>&1 || vl_log "update-ca-certificates failed"
}

vl_untrust_system() {
    [ -f "$VL_CA_CONF" ] && sed -i "\|^!\?$VL_CA_STORE_ENTRY\$|d" "$VL_CA_CONF"
    rm -rf "$VL_CA_STORE_DIR"
    # Drops the link of the removed file and makes the bundle without it.
    update-ca-certificates >/dev/null 2>&1 || vl_log "update-ca-certificates failed"
}

# vl_trust_all installs the authority in the system store and in every user's databases.
vl_trust_all() {
    [ -s "$VL_ETC/ca.crt" ] || return 0
    vl_trust_system
    command -v certutil >/dev/null || return 0
    vl_users | while read -r user home; do
        vl_user_dbs "$home" | while read -r db; do vl_db_add "$user" "$db"; done
    done
}

# vl_untrust_all removes the authority from every store it was put in.
vl_untrust_all() {
    vl_untrust_system
    command -v certutil >/dev/null || return 0
    vl_users | while read -r user home; do
        vl_user_dbs "$home" | while read -r db; do vl_db_remove "$user" "$db"; done
    done
}

# vl_trust_self is the tray's call at login: the calling user's databases, Chromium's made
# when missing, so that users created after the installation trust the daemon too.
vl_trust_self() {
    [ -s "$VL_ETC/ca.crt" ] && command -v certutil >/dev/null || return 0
    if [ ! -f "$HOME/.pki/nssdb/cert9.db" ]; then
        mkdir -p -m 0700 "$HOME/.pki/nssdb"
        certutil -N -d "sql:$HOME/.pki/nssdb" --empty-password || return 1
    fi
    vl_user_dbs "$HOME" | while read -r db; do vl_db_add "$(id -un)" "$db"; done
}
