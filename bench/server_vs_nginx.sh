#!/usr/bin/env bash
# Requests per second and 99th-percentile latency of vexo-server answering the start query, once
# recording into SQLite and once into PostgreSQL, side by side with nginx serving the same
# enciphered bytes as a static file, all under wrk on loopback in one run, at 50 and at 200
# connections. The three take turns for a few rounds and each figure is the median of its
# rounds, since one run on shared cores swings by more than the differences measured. Then, for
# each store, a longer run at 200 connections and the check that every query answered (a line
# of the access log) is a check-in stored, and that no check-in was dropped during the whole run.
#
#   bench/server_vs_nginx.sh [--rollout] [seconds per rate run, default 10]
#                            [seconds of the loss run, default 30] [rounds, default 3]
#
# --rollout serves the start answer under a rollout policy (a 50 % share, so the server reads
# the policy and places the client in its cohort for every query) while a scraper reads the
# admin listener's /metrics every second, as Prometheus would; nginx serves the bytes the
# server sends that client. VEXO_SERVER names the program; by default the release build's is
# built. PostgreSQL 15 is started for the run (as the postgres user when run as root) on a Unix
# socket. Everything runs on 127.0.0.1 from a private temporary folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

rollout=false
if [[ ${1:-} == --rollout ]]; then
  rollout=true
  shift
fi
duration=${1:-10}
loss_duration=${2:-30}
rounds=${3:-3}
threads=$(nproc)
server=${VEXO_SERVER:-build/release/server/vexo-server}
pg_bin=${VEXO_POSTGRES_BIN:-/usr/lib/postgresql/15/bin}

for tool in wrk nginx curl python3 "$pg_bin/initdb"; do
  command -v "$tool" >/dev/null || { echo "server_vs_nginx: needs $tool (scripts/setup-debian.sh)"; exit 1; }
done
if [[ -z ${VEXO_SERVER:-} ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target vexo-server >/dev/null
fi

work=$(mktemp -d)
chmod 755 "$work"  # nginx workers and PostgreSQL run as unprivileged users when started by root
pids=()
as_postgres=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -d $work/pg/data ]] && "${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# PostgreSQL with its default durability, reachable only through a socket in $work/pg.
mkdir "$work/pg"
if [[ $(id -u) == 0 ]]; then
  chown postgres: "$work/pg"
  as_postgres=(runuser -u postgres --)
fi
"${as_postgres[@]}" "$pg_bin/initdb" -D "$work/pg/data" -A trust -U postgres -E UTF8 --locale=C \
  --no-sync >/dev/null
"${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w \
  -o "-k $work/pg -c listen_addresses=''" start >/dev/null
"$pg_bin/createdb" -h "$work/pg" -U postgres vexo
postgres_uri="postgresql://postgres@/vexo?host=${work//\//%2F}%2Fpg"

content=examples/content
if $rollout; then
  content=$work/content
  cp -r examples/content "$content"
  printf '[1.0.7.0]\nsalt = 5c0f9e2a7b41d3c86e1f2a9b0c7d4e35\nschedule = 50%%\n' >"$content/start.rollout"
fi

# vexo-server on ephemeral ports; its first two lines name them. Sets origin_NAME, admin_NAME.
start_vexo() {
  local name=$1 db=$2 log=$work/$1-access.log
  "$server" --root "$content" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 --db "$db" \
    >"$log" 2>"$work/$name-errors.log" &
  pids+=($!)
  for _ in $(seq 100); do
    [[ $(grep -c listening "$log" 2>/dev/null) == 2 ]] && break
    sleep 0.05
  done
  local origin admin
  origin=$(sed -n 's/^listening on //p' "$log")
  admin=$(sed -n 's/^admin listening on //p' "$log")
  [[ -n $origin && -n $admin ]] || { echo "server_vs_nginx: vexo-server ($name) did not start"; cat "$work/$name-errors.log"; exit 1; }
  printf -v "origin_$name" '%s' "$origin"
  printf -v "admin_$name" '%s' "$admin"
}
start_vexo sqlite "$work/checkins.db"
start_vexo postgres "$postgres_uri"
query="/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe"

# Under --rollout, a scraper of both servers' metrics for the whole run.
if $rollout; then
  for admin in "$admin_sqlite" "$admin_postgres"; do
    curl -sf "$admin/metrics" | grep -q '^vexo_rollout_share_ratio{.*} 0.5$' ||
      { echo "server_vs_nginx: $admin/metrics shows no rollout at 50 %"; exit 1; }
  done
  while sleep 1; do
    curl -sf "$admin_sqlite/metrics" -o /dev/null
    curl -sf "$admin_postgres/metrics" -o /dev/null
  done &
  pids+=($!)
  echo "rollout policy at 50 % on the start answer; /metrics scraped every second"
fi

# nginx serves the very bytes vexo-server sends, at the same path.
mkdir -p "$work/www/client" "$work/nginx/logs"
curl -sf "$origin_sqlite$query" -o "$work/www/client/getData.php"
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
curl -sf "$origin_postgres$query" -o /dev/null ||
  { echo "server_vs_nginx: vexo-server on PostgreSQL does not answer"; exit 1; }

# wrk's summary: requests per second, 99th percentile, errors; the rate goes to rate-NAME-C.
measure() {
  local name=$1 url=$2 connections=$3 seconds=$4 report
  report=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency "$url")
  local rate p99 errors
  rate=$(awk '/^Requests\/sec:/ {print $2}' <<<"$report")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$report")
  errors=$(grep -E 'Socket errors|Non-2xx' <<<"$report" | tr -s ' ' | paste -sd';' || true)
  printf '%-20s %4s conn %12s req/s   p99 %9s   %s\n' "$name" "$connections" "$rate" "$p99" "${errors:-no errors}"
  echo "$rate" >>"$work/rate-${name##*/}-$connections"
  milliseconds "$p99" >>"$work/p99-${name##*/}-$connections"
}

# The median of the figures in a file, one per line.
median() {
  python3 -c 'import statistics, sys; print(statistics.median(float(x) for x in open(sys.argv[1])))' "$1"
}

ratio() {
  python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$@"
}

# wrk's latencies ("850.00us", "17.18ms", "1.02s") as milliseconds.
milliseconds() {
  python3 -c 'import re, sys
value, unit = re.fullmatch(r"([0-9.]+)(us|ms|s|m)", sys.argv[1]).groups()
print(float(value) * {"us": 0.001, "ms": 1, "s": 1000, "m": 60000}[unit])' "$1"
}

# One store's median figures against nginx's at the same number of connections.
against_nginx() {
  local store=$1 connections=$2 figure rate p99
  for figure in rate p99; do
    printf -v "$figure" '%s' "$(ratio "$(median "$work/$figure-$store-$connections")" \
      "$(median "$work/$figure-nginx-$connections")")"
  done
  echo "rate $rate of nginx's, p99 $p99 times nginx's"
}

# The check-ins in a store, read from its /stats (which first writes what is queued).
stored() {
  curl -sf "$1/stats" | python3 -c 'import json, sys; print(json.load(sys.stdin)["total"])'
}

# Queries the server answered: the access log has one line for each.
answered() {
  grep -c 'GET /client/getData.php' "$work/$1-access.log" || true
}

# Check-ins a store dropped because its database fell too far behind, read from /metrics.
dropped() {
  curl -sf "$1/metrics" | awk '/^vexo_store_dropped_records_total / {print int($2)}'
}

echo "start query, $threads wrk threads, ${duration}s per run, $rounds rounds, loopback"
for connections in 50 200; do
  for round in $(seq "$rounds"); do
    measure vexo-server/sqlite "$origin_sqlite$query" "$connections" "$duration"
    measure vexo-server/postgres "$origin_postgres$query" "$connections" "$duration"
    measure nginx "http://127.0.0.1:$nginx_port$query" "$connections" "$duration"
  done
  echo "  $connections connections, medians: sqlite $(against_nginx sqlite "$connections");" \
    "postgres $(against_nginx postgres "$connections")"
  echo "  (goal: rate at least 1.00 of nginx's, p99 at most 1.50 times nginx's)"
done

echo "none lost: 200 connections for ${loss_duration}s on each store"
for store in sqlite postgres; do
  origin_var=origin_$store admin_var=admin_$store
  stored_before=$(stored "${!admin_var}")
  answered_before=$(answered "$store")
  measure "vexo-server/$store" "${!origin_var}$query" 200 "$loss_duration"
  sleep 1  # the last replies' check-ins reach the queue
  stored_now=$(( $(stored "${!admin_var}") - stored_before ))
  answered_now=$(( $(answered "$store") - answered_before ))
  verdict=$([[ $stored_now == "$answered_now" ]] && echo "none lost" || echo "LOST $((answered_now - stored_now))")
  echo "  $store: $answered_now queries answered, $stored_now check-ins stored: $verdict;" \
    "$(dropped "${!admin_var}") check-ins dropped over the whole run"
done
for store in sqlite postgres; do
  [[ -s $work/$store-errors.log ]] && { echo "$store warnings:"; cat "$work/$store-errors.log"; }
done
exit 0
