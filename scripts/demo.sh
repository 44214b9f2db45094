#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the native agent and runs it for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target vexo-agent

echo "== starting vexo-agent (it stays resident, silent, until it is asked to close)"
./build/dev/agent/vexo-agent &
agent=$!
sleep 5
echo "== asking it to close (SIGTERM)"
kill -TERM "$agent"
status=0
wait "$agent" || status=$?
echo "== vexo-agent ended with exit code $status"
