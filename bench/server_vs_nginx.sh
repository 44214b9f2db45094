#!/usr/bin/env bash
# Requests per second and 99th-percentile latency of vexo-server answering the start query,
# side by side with nginx serving the same enciphered bytes as a static file, both under wrk on
# loopback in one run.
#
#   bench/server_vs_nginx.sh [seconds per run, default 10] [connections, default 50]
#
# VEXO_SERVER / VEXO_ANSWER name the programs; by default the release build's are built.
# Everything runs on 127.0.0.1 from a private temporary folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=${1:-10}
connections=${2:-50}
threads=$(nproc)
server=${VEXO_SERVER:-build/release/server/vexo-server}

for tool in wrk nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "server_vs_nginx: needs $tool (scripts/setup-debian.sh)"; exit 1; }
done
if [[ -z ${VEXO_SERVER:-} ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target vexo-server >/dev/null
fi

work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as an unprivileged user when started by root
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# vexo-server on an ephemeral port; its first line names it.
"$server" --root examples/content --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 \
  --db "$work/checkins.db" \
  >"$work/vexo-access.log" 2>"$work/vexo-errors.log" &
pids+=($!)
for _ in $(seq 100); do
  [[ -s $work/vexo-access.log ]] && break
  sleep 0.05
done
origin=$(head -1 "$work/vexo-access.log" | sed -n 's/^listening on //p')
[[ -n $origin ]] || { echo "server_vs_nginx: vexo-server did not start"; cat "$work/vexo-errors.log"; exit 1; }
query="/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe"

# nginx serves the very bytes vexo-server sends, at the same path.
mkdir -p "$work/www/client" "$work/nginx/logs"
curl -sf "$origin$query" -o "$work/www/client/getData.php"
nginx_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $threads;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log $work/nginx/logs/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    location = /client/getData.php {
      default_type application/octet-stream;
      add_header Cache-Control no-store;
    }
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g "daemon off;" >/dev/null 2>"$work/nginx/stderr" &
pids+=($!)
for _ in $(seq 100); do
  curl -sf "http://127.0.0.1:$nginx_port$query" -o "$work/nginx-body" && break
  sleep 0.05
done
cmp -s "$work/nginx-body" "$work/www/client/getData.php" ||
  { echo "server_vs_nginx: nginx does not serve the answer"; cat "$work/nginx/stderr"; exit 1; }

# wrk's summary: requests per second, 99th percentile, errors.
measure() {
  local name=$1 url=$2 report
  report=$(wrk -t"$threads" -c"$connections" -d"${duration}s" --latency "$url")
  local rate p99 errors
  rate=$(awk '/^Requests\/sec:/ {print $2}' <<<"$report")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$report")
  errors=$(grep -E 'Socket errors|Non-2xx' <<<"$report" | tr -s ' ' | paste -sd';' || true)
  printf '%-12s %12s req/s   p99 %9s   %s\n' "$name" "$rate" "$p99" "${errors:-no errors}"
  echo "$rate" >"$work/rate-$name"
}

echo "start query, $connections connections, $threads wrk threads, ${duration}s per run, loopback"
measure vexo-server "$origin$query"
measure nginx "http://127.0.0.1:$nginx_port$query"
python3 - "$(cat "$work/rate-vexo-server")" "$(cat "$work/rate-nginx")" <<'PY'
import sys
ours, theirs = float(sys.argv[1]), float(sys.argv[2])
print(f"vexo-server / nginx = {ours / theirs:.2f} (goal: at least 0.50)")
PY
echo "check-ins recorded: $(sqlite3 "$work/checkins.db" 'SELECT count(*) FROM checkins' 2>/dev/null || echo '?')"
