#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test: the native build under ASan and UBSan,
# the fuzz targets for a few seconds each, the Debian packages (checked, installed on this machine,
# used and purged), and the Windows build under wine.
#
# The native tests run once, in the sanitizer build: they are the same tests as the dev preset's
# (which has no assertions of its own to add), and a second native build and run would cost a
# fifth of the whole run on two cores. The release build of the packages runs the end-to-end
# install test, and the one test the sanitizers make meaningless.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh

jobs=$(nproc)
run_preset() {
  local preset=$1
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
}

run_preset asan
run_preset fuzz

echo "== packages: build, check, install and purge"
scripts/package.sh
tests/packages/check_packages.sh build/packages
tests/packages/install_test.sh build/packages examples/content build/packages/agent-question.png

# The one native test that the sanitizer build skips (ASan's quarantine makes resident size tell
# nothing) runs in the release build that the packages came from.
echo "== release: the server's memory while its database is away"
cmake --build --preset release -j "$jobs" --target vexo_server_program_tests
build/release/tests/server/vexo_server_program_tests \
  --gtest_filter='VexoServerWithoutItsDatabase.MemoryStaysBoundedWhileItIsAway'

source scripts/wine-env.sh
run_preset mingw
