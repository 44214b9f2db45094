#!/usr/bin/env bash
# How quiet and small the resident agent is once its timers are spent: voluntary context switches
# over 10 s (goal 0: no polling, no periodic wake-up), resident memory as RSS and as private
# memory (RssAnon, goal under 1 MiB), and the size of both builds' programs.
#
#   bench/resident.sh [--pinned] [native agent] [windows agent] [seconds to wait for the timers]
# --pinned runs the agent pinned to the test keys (vexo-agent-pinned) against the example content
# with its offer signed by the first test key, served over HTTPS by a throwaway test CA that the
# agent trusts beside the system's CAs, so that the memory is measured after TLS, the download
# and a verified signature.
# With a vexo-server build and the example content beside it, the agent runs against a real
# server so that its queries are part of what it has done before the measurement.
set -euo pipefail
cd "$(dirname "$0")/.."
pinned=0
if [ "${1:-}" = --pinned ]; then
  pinned=1
  shift
fi
if [ $pinned = 1 ]; then
  agent=${1:-build/release/tests/support/vexo-agent-pinned}
else
  agent=${1:-build/release/agent/vexo-agent}
fi
windows_agent=${2:-build/mingw/agent/vexo-agent.exe}
settle=${3:-36}  # the example schedule arms the first display 30 s after the pop-up query
server=build/release/server/vexo-server

root=$(mktemp -d)
cleanup() { [ -n "${agent_pid:-}" ] && kill "$agent_pid" 2>/dev/null; [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT
mkdir -p "$root"/{home,data,config/vexo,runtime}
chmod 700 "$root/runtime"

content=examples/content
tls=()
agent_env=()
if [ $pinned = 1 ]; then
  mkdir "$root/certs"
  bash tests/support/make_test_certificates.sh "$root/certs"
  tls=(--tls-cert "$root/certs/server.pem" --tls-key "$root/certs/server.key")
  # The whole system store and the test CA: the store the agent loads is as large as a user's.
  cat /etc/ssl/certs/ca-certificates.crt "$root/certs/ca.pem" >"$root/certs/trusted.pem"
  agent_env=(SSL_CERT_FILE="$root/certs/trusted.pem")
  content="$root/content"
  cp -r examples/content "$content"
  install -m 600 tests/support/update_keys/pinned-1.key "$root/signer.key"
  signature=$(build/release/tools/vexo-answer sign --key "$root/signer.key" --version 1.0.7.0 \
    "$content/files/vexo-setup-1.0.7.0.exe")
  sed -i "s|</md5>|</md5><signature>$signature</signature>|" "$content/start.xml"
fi
if [ -x "$server" ] && [ -d "$content" ]; then
  "$server" --root "$content" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 \
    --db "$root/stats.db" "${tls[@]}" >"$root/server.log" &
  server_pid=$!
  for _ in $(seq 50); do grep -q "listening on" "$root/server.log" 2>/dev/null && break; sleep 0.1; done
  origin=$(sed -n 's|^listening on \(https\{0,1\}://[0-9.:]*\)$|\1|p' "$root/server.log")
  echo "$origin" >"$root/config/vexo/server"
fi

env -i HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_DIRS="$root/config" \
  XDG_RUNTIME_DIR="$root/runtime" PATH=/usr/bin:/bin "${agent_env[@]}" "$agent" </dev/null >/dev/null 2>&1 &
agent_pid=$!
sleep "$settle"

field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$agent_pid/status"; }
switches_before=$(field voluntary_ctxt_switches)
sleep 10
switches_after=$(field voluntary_ctxt_switches)

echo "voluntary context switches in 10 s: $((switches_after - switches_before))   (goal 0)"
echo "resident memory (RSS):            $(field VmRSS) kB"
echo "private memory (RssAnon):         $(field RssAnon) kB   (goal < 1024 kB)"
echo "shared file pages (RssFile):      $(field RssFile) kB"
[ -f "$root/server.log" ] && echo "requests the agent made:          $(grep -c '"GET ' "$root/server.log")"
[ -f "$root/data/vexo/vexo-setup.exe" ] && echo "installer downloaded:             $(stat -c %s "$root/data/vexo/vexo-setup.exe") bytes"
echo "native program size:              $(stat -c %s "$agent") bytes"
[ -f "$windows_agent" ] && echo "windows program size:             $(stat -c %s "$windows_agent") bytes"
exit 0
