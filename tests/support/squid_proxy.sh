#!/usr/bin/env bash
# A real squid for the proxy tests, on a free loopback port, with its configuration, logs and
# password file in FOLDER (which must exist); it runs until this script gets SIGTERM, SIGINT or
# SIGHUP, then stops squid and waits for it.
#
#   squid_proxy.sh FOLDER none|basic|digest|ntlm [USER PASSWORD]
#
# The first line on standard output is the port; FOLDER/access.log gets one line per request:
#   <client> <squid result>/<status> <method> <URL> <user or ->
# Nothing is cached, nothing is added to the forwarded requests (no Via, no X-Forwarded-For), and
# squid resolves names only through 127.0.0.1. NTLM is squid's fake helper: it takes any user and
# password once the three-message handshake is done, and logs the user. Run as root, squid works as the user "proxy", who
# is given FOLDER.
set -euo pipefail

[ $# -eq 2 ] || [ $# -eq 4 ] || { echo "usage: $0 FOLDER none|basic|digest|ntlm [USER PASSWORD]" >&2; exit 2; }
folder=$(cd "$1" && pwd) auth=$2 user=${3:-} password=${4:-}
case $auth in
  none | ntlm) ;;
  basic | digest) [ -n "$user" ] || { echo "$0: $auth needs a user and a password" >&2; exit 2; } ;;
  *) echo "$0: unknown authentication '$auth'" >&2; exit 2 ;;
esac

helpers=/usr/lib/squid
auth_lines=("http_access allow all")
case $auth in
  basic)
    printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" >"$folder/passwd"
    auth_lines=("auth_param basic program $helpers/basic_ncsa_auth $folder/passwd"
      "auth_param basic children 1 startup=1" "auth_param basic realm vexo-test")
    ;;
  digest)
    # The digest of user, realm and password (HA1), which any password may go into.
    ha1=$(printf '%s:vexo-test:%s' "$user" "$password" | md5sum | cut -d' ' -f1)
    printf '%s:vexo-test:%s\n' "$user" "$ha1" >"$folder/passwd"
    auth_lines=("auth_param digest program $helpers/digest_file_auth -c $folder/passwd"
      "auth_param digest children 1 startup=1" "auth_param digest realm vexo-test")
    ;;
  ntlm)
    auth_lines=("auth_param ntlm program $helpers/ntlm_fake_auth" "auth_param ntlm children 1 startup=1")
    ;;
esac
[ "$auth" = none ] || auth_lines+=("acl users proxy_auth REQUIRED" "http_access allow users"
  "http_access deny all")

owner=()
if [ "$(id -u)" = 0 ]; then
  owner=("cache_effective_user proxy")
  chown -R proxy "$folder"
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

squid_pid=
stop() {
  [ -z "$squid_pid" ] || kill -TERM "$squid_pid" 2>/dev/null || true
  [ -z "$squid_pid" ] || wait "$squid_pid" 2>/dev/null || true
  exit 0
}
trap stop TERM INT HUP

# Another program may take the port between its choice and squid's start: then another one.
for _ in 1 2 3 4 5; do
  port=$(free_port)
  rm -f "$folder/cache.log"
  cat >"$folder/squid.conf" <<EOF
http_port 127.0.0.1:$port
pid_filename none
cache_log stdio:$folder/cache.log
logformat vexo %>a %Ss/%>Hs %rm %ru %un
access_log stdio:$folder/access.log vexo
cache_store_log none
cache deny all
cache_mem 1 MB
memory_cache_shared off
coredump_dir $folder
dns_nameservers 127.0.0.1
pinger_enable off
icp_port 0
htcp_port 0
snmp_port 0
via off
forwarded_for delete
strip_query_terms off
shutdown_lifetime 0 seconds
visible_hostname vexo-test-proxy
$(printf '%s\n' "${owner[@]}" "${auth_lines[@]}")
EOF
  squid -N -f "$folder/squid.conf" </dev/null >/dev/null 2>&1 &
  squid_pid=$!
  for _ in $(seq 100); do
    if grep -q "Accepting HTTP Socket connections" "$folder/cache.log" 2>/dev/null; then
      echo "$port"
      wait "$squid_pid" || true
      exit 0
    fi
    kill -0 "$squid_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$squid_pid" 2>/dev/null || true
  wait "$squid_pid" 2>/dev/null || true
  squid_pid=
  grep -q "Address already in use" "$folder/cache.log" 2>/dev/null || break
done
echo "$0: squid did not start:" >&2
cat "$folder/cache.log" >&2 2>/dev/null || true
exit 1
