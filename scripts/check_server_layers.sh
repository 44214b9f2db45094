#!/usr/bin/env bash
# Checks the include graph of server/: every file includes only files of its own folder or of a
# lower layer, and no chain of includes runs round in a circle. Prints the arrows between
# folders with their number of includes.
#
#   scripts/check_server_layers.sh
#
# The layers, lowest first (a folder may include its own files and those of any lower layer;
# the two folders of one layer never include each other):
#   0  server/common
#   1  server/transport, server/store
#   2  server/agents, server/admin
#   3  server (the options and the program)
set -euo pipefail
cd "$(dirname "$0")/.."

rank_of() {
  case $1 in
    server/common) echo 0 ;;
    server/transport | server/store) echo 1 ;;
    server/agents | server/admin) echo 2 ;;
    server) echo 3 ;;
    *) echo "unknown" ;;
  esac
}

failures=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

while IFS= read -r file; do
  from=$(dirname "$file")
  [ "$(rank_of "$from")" != unknown ] || { echo "FAIL: $file lies in a folder of no layer"; failures=$((failures + 1)); continue; }
  echo "$file $file" >>"$edges"  # every file is a node, even one that includes nothing
  while IFS= read -r included; do
    echo "$file $included" >>"$edges"
    to=$(dirname "$included")
    [ "$from" = "$to" ] && continue
    from_rank=$(rank_of "$from")
    to_rank=$(rank_of "$to")
    if [ "$to_rank" = unknown ] || [ "$to_rank" -ge "$from_rank" ]; then
      echo "FAIL: $file includes $included: $from may not reach into $to"
      failures=$((failures + 1))
    fi
  done < <(sed -n 's/^#include "\(server\/[^"]*\)".*/\1/p' "$file")
done < <(find server -name '*.h' -o -name '*.cpp' | sort)

echo "arrows between folders (includes):"
awk '{ sub("/[^/]*$", "", $1); sub("/[^/]*$", "", $2) }
     $1 != $2 { print "  " $1 " -> " $2 }' "$edges" | sort | uniq -c

if ! tsort "$edges" >/dev/null 2>"$edges.loop"; then
  echo "FAIL: the includes run in a circle:"
  sed 's/^/  /' "$edges.loop"
  failures=$((failures + 1))
fi
rm -f "$edges.loop"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "PASS: no include runs up a layer, across one, or in a circle"
