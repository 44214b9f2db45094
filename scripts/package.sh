#!/usr/bin/env bash
# Builds the Debian packages vexo-agent, vexo-server and vexo-answer from the release build
# (cmake --preset release) into build/packages/, with the project's version from CMake.
#
# The packaging sources are in packaging/: debian/ (control, rules, maintainer scripts, the
# service unit), the autostart entry, the service's configuration file and the man pages. They
# are copied with the three programs into build/packages/source/, where debhelper lays the
# packages out, computes their dependencies from the programs' shared libraries and packs them
# into build/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/packages
source_tree=$out/source

echo "== packages: release build"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target vexo-agent vexo-transfer vexo-server vexo-answer

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[ -n "$version" ] || { echo "package: no project version in the release build" >&2; exit 1; }
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
# Reproducible packages: file times and the changelog's date are those of the commit.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

rm -rf "$out"
mkdir -p "$source_tree/bin"
cp -r packaging/. "$source_tree/"
cp build/release/agent/vexo-agent build/release/server/vexo-server \
  build/release/tools/vexo-answer "$source_tree/bin/"
# The agent's transfer program, which it starts from ../libexec/vexo beside its own folder.
mkdir -p "$source_tree/libexec"
cp build/release/platform/posix/transfer/vexo-transfer "$source_tree/libexec/"
mkdir -p "$source_tree/examples"
cp -r examples/content "$source_tree/examples/"

cat >"$source_tree/debian/changelog" <<EOF
vexo ($version) unstable; urgency=medium

  * Version $version, built from commit $commit.

 -- $(sed -n 's/^Maintainer: //p' packaging/debian/control)  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF

# The agent's build values are those of the release build's cache: a publisher sets them once,
# e.g. cmake --preset release -DVEXO_SERVER_ORIGIN=https://update.example.com
cache_value() { sed -n "s/^$1:[A-Z]*=//p" build/release/CMakeCache.txt; }
echo "   agent's server origin: $(cache_value VEXO_SERVER_ORIGIN)"
if grep -q '^VEXO_UPDATE_KEYS:' build/release/CMakeCache.txt; then
  echo "   agent's pinned update keys: $(cache_value VEXO_UPDATE_KEYS | tr ',' '\n' | grep -c . || true)"
fi

echo "== packages: pack version $version"
(cd "$source_tree" && DEB_BUILD_OPTIONS=nocheck debian/rules binary)
ls -1 "$out"/*.deb
