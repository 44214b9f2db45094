#!/usr/bin/env bash
# Makes a throwaway test CA and the certificates the HTTPS tests serve, with GnuTLS's certtool:
#
#   make_test_certificates.sh FOLDER
#
#   ca.pem            the test CA (what a trusting client is given)
#   server.key        the one key of every server certificate below
#   server.pem        127.0.0.1 and localhost, by the test CA
#   other-host.pem    only the name other-host.invalid, by the test CA
#   expired.pem       127.0.0.1 and localhost, by the test CA, expired a year ago
#   stranger.pem      127.0.0.1 and localhost, by a CA nobody trusts
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 FOLDER" >&2; exit 2; }
cd "$1"

key() { certtool --generate-privkey --key-type rsa --bits 2048 --outfile "$1" 2>/dev/null; }
template() {
  local file=$1
  shift
  printf '%s\n' "$@" >"$file"
}

ca() { # NAME COMMON-NAME
  key "$1.key"
  template "$1.cfg" "cn = \"$2\"" "ca" "cert_signing_key" "expiration_days = 30"
  certtool --generate-self-signed --load-privkey "$1.key" --template "$1.cfg" \
    --outfile "$1.pem" 2>/dev/null
}

server() { # NAME CA TEMPLATE-LINES...
  local name=$1 issuer=$2
  shift 2
  template "$name.cfg" "tls_www_server" "encryption_key" "signing_key" "$@"
  certtool --generate-certificate --load-privkey server.key --load-ca-certificate "$issuer.pem" \
    --load-ca-privkey "$issuer.key" --template "$name.cfg" --outfile "$name.pem" 2>/dev/null
}

ca ca "Vexo test CA"
ca stranger-ca "Vexo stranger CA"
key server.key
# Wine's certificate check compares the host with DNS names only, so the address is one too.
here=('cn = "127.0.0.1"' 'ip_address = "127.0.0.1"' 'dns_name = "127.0.0.1"' 'dns_name = "localhost"')
server server ca "${here[@]}" "expiration_days = 30"
server other-host ca 'cn = "other-host.invalid"' 'dns_name = "other-host.invalid"' \
  "expiration_days = 30"
server expired ca "${here[@]}" 'activation_date = "2020-01-01 00:00:00 UTC"' \
  'expiration_date = "2021-01-01 00:00:00 UTC"'
server stranger stranger-ca "${here[@]}" "expiration_days = 30"
rm -f ./*.cfg
