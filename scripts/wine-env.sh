#!/usr/bin/env bash
# The environment the Windows build's programs run in under wine: a private wine prefix under
# build/, no wine debug output, no Mono or Gecko installers, and an X display (a private Xvfb when
# none is set). The prefix is booted once, and a persistent wineserver with wine's own system
# processes is kept running, so each program starts in well under a second instead of paying
# wine's start-up every time.
#
#   source scripts/wine-env.sh              # the test and demo scripts: set up, then export
#   scripts/wine-env.sh program.exe [arg…]  # CTest's emulator: set up, then run the program
#
# Safe to run from several tests at once: the set-up holds a lock on <prefix>.setup-lock, waiting
# at most five minutes for it.

_vexo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$_vexo_root/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY="${VEXO_XVFB_DISPLAY:-:97}"
  _vexo_own_display=1
else
  _vexo_own_display=0
fi

# Commands whose daemons outlive them (Xvfb, wineserver, wine's system processes) run with no
# inherited descriptors: neither the set-up lock nor CTest's output pipes may stay open in them,
# or the lock would never be released and CTest would wait for the pipes for ever.
_vexo_close_descriptors() {
  for fd in /proc/$BASHPID/fd/*; do
    fd=${fd##*/}
    if [ "$fd" -gt 2 ]; then eval "exec $fd>&-"; fi
  done
}

# Runs the command and waits for it.
_vexo_detached() {
  (
    _vexo_close_descriptors
    exec "$@" </dev/null >/dev/null 2>&1
  )
}

# Starts the command in the background, in its own session, and returns at once; no shell stays
# behind holding descriptors.
_vexo_spawn() {
  (
    _vexo_close_descriptors
    setsid "$@" </dev/null >/dev/null 2>&1 &
  )
}

_vexo_display_up() {
  xdpyinfo -display "$DISPLAY" >/dev/null 2>&1
}

# Xvfb in its own session, so that a test's timeout (which kills the test's process group) does
# not take the display away from the tests after it.
_vexo_start_display() {
  _vexo_display_up && return 0
  _vexo_spawn Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp
  for _ in $(seq 100); do
    _vexo_display_up && return 0
    sleep 0.1
  done
  echo "wine-env: the X display $DISPLAY did not come up" >&2
  return 1
}

# The first boot of a prefix takes a while (fifteen seconds or more); wineserver -w waits, at most
# two minutes, for the boot's server to finish writing the registry and end.
_vexo_boot_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$WINEPREFIX"
  _vexo_detached wineboot -i || true
  _vexo_detached timeout 120 wineserver -w || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-env: wineboot did not create the prefix $WINEPREFIX" >&2
    return 1
  fi
}

# wineserver -p exits with 2, doing nothing, when a server runs for the prefix already. A new
# server starts wine's system processes with the first program that connects, and they keep that
# program's descriptors, so a program of our own with none is run first.
_vexo_start_wineserver() {
  _vexo_detached wineserver -p && _vexo_detached wine cmd.exe /c exit 0
  return 0
}

_vexo_set_up() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    if ! flock -w 300 9; then
      echo "wine-env: another set-up of $WINEPREFIX holds its lock" >&2
      exit 1
    fi
    if [ "$_vexo_own_display" = 1 ]; then _vexo_start_display || exit 1; fi
    _vexo_boot_prefix || exit 1
    _vexo_start_wineserver
  ) 9>"$WINEPREFIX.setup-lock"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  _vexo_set_up || exit 1
  exec wine "$@"
fi
_vexo_set_up
