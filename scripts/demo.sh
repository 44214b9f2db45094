#!/usr/bin/env bash
# The demo: sets up a fresh Debian 12 machine, builds the agent, the server and the publisher's
# tool, starts vexo-server on loopback with the example content, and runs vexo-agent in a
# throwaway environment pointed at it. The agent asks its one question on this terminal (answer
# y to install); afterwards the demo shows what happened: the server's records, the installer's
# output and the agent's data folder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target vexo-agent vexo-server vexo-answer

build=build/dev
world=$(mktemp -d /tmp/vexo-demo-XXXXXX)
cleanup() {
  [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null || true
  [ -n "${server:-}" ] && kill "$server" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
mkdir -p "$world"/{home,data,config/vexo,runtime}
chmod 700 "$world/runtime"

echo "== What the agent will take from the example answers (vexo-answer check)"
"$build/tools/vexo-answer" check examples/content/start.xml || true

echo
echo "== Starting vexo-server on loopback with examples/content"
"$build/server/vexo-server" --root examples/content --listen 127.0.0.1:0 \
  --admin-listen 127.0.0.1:0 --db "$world/checkins.db" >"$world/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q "^admin listening on" "$world/server.log" 2>/dev/null && break; sleep 0.1; done
origin=$(sed -n 's|^listening on \(http://[0-9.:]*\)$|\1|p' "$world/server.log")
admin=$(sed -n 's|^admin listening on \(http://[0-9.:]*\)$|\1|p' "$world/server.log")
[ -n "$origin" ] && [ -n "$admin" ] ||
  { cat "$world/server.log"; echo "demo: the server did not start" >&2; exit 1; }
echo "   agents: $origin   statistics: $admin"

# The machine-wide values of this throwaway world: the server to ask, the application's name.
echo "$origin" >"$world/config/vexo/server"
echo "VexoCalendar.exe" >"$world/config/vexo/application"

echo
echo "== Starting vexo-agent (silent; it asks its question here in about two seconds)"
if ! { : </dev/tty; } 2>/dev/null; then
  echo "   (no terminal to ask on: the question is answered No)"
fi
env -i HOME="$world/home" XDG_DATA_HOME="$world/data" XDG_CONFIG_DIRS="$world/config" \
  XDG_RUNTIME_DIR="$world/runtime" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  "$build/agent/vexo-agent" &
agent=$!

# The run is over once the pop-up query has been answered.
for _ in $(seq 600); do grep -q "q=popup" "$world/server.log" 2>/dev/null && break; sleep 0.1; done
sleep 2
if kill -0 "$agent" 2>/dev/null; then
  echo "== vexo-agent made both queries and stays resident; asking it to close"
  kill -TERM "$agent"
fi
status=0
wait "$agent" || status=$?
agent=
echo "   vexo-agent ended with exit code $status"

echo
echo "== The server's access log"
sed -n '3,$p' "$world/server.log"
echo
echo "== The server's records (GET /stats on the admin listener)"
curl -s "$admin/stats"
echo
echo
echo "== The agent's data folder"
(cd "$world/data" && find vexo -printf '%M %8s  %p\n' | sort -k3)
echo
echo "== The installer's output"
if [ -f "$world/data/vexo/installer-runs.log" ]; then
  cat "$world/data/vexo/installer-runs.log"
else
  echo "(the installer was not launched)"
fi
echo
echo "The demo's files stay in $world"
