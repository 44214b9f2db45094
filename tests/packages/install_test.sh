#!/usr/bin/env bash
# Installs the three packages on this machine (root) and uses them as an administrator and a
# desktop user would: the service's unit is checked and its own command line, read from the
# installed unit and configuration file, runs as the unit's user against the example content;
# the installed agent asks its question on an X display (captured as a screenshot), is answered
# Yes, and starts the offered installer. Purging then leaves no file of the packages behind, and
# the service's state only when asked to remove it.
#
#   install_test.sh PACKAGE_FOLDER EXAMPLE_CONTENT SCREENSHOT.png
#
# The machine is restored whatever happens: the packages are purged, and what the test added
# (content folder, state, the service's user when the test created it) is removed. The X
# display is a private Xvfb on :$VEXO_XVFB_DISPLAY (default 96).
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 PACKAGE_FOLDER EXAMPLE_CONTENT SCREENSHOT.png" >&2
  exit 2
fi
folder=$1 example_content=$2 screenshot=$3
[ "$(id -u)" = 0 ] || { echo "FAIL: installing packages needs root" >&2; exit 1; }

readonly packages=(vexo-agent vexo-server vexo-answer)
readonly unit=/lib/systemd/system/vexo-server.service
readonly config=/etc/vexo-server/vexo-server.conf
readonly state=/var/lib/vexo-server
readonly service_user=vexo-server
readonly display=":${VEXO_XVFB_DISPLAY:-96}"
# Bounds: generous, so a slow machine does not fail the test, yet every wait ends.
readonly wait_s=30

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

debs=()
for name in "${packages[@]}"; do
  deb=$(ls "$folder/${name}"_*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || die "no $name package in $folder"
  debs+=("$deb")
done
version=$(dpkg-deb -f "${debs[0]}" Version)

export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d "${TMPDIR:-/tmp}/vexo-package-install.XXXXXX")
chmod 755 "$work"
# The content lives where an administrator would put it: outside /home, readable by the service.
content=$(mktemp -d /srv/vexo-package-test.XXXXXX)
chmod 755 "$content"
server_pid= agent_pid= xvfb_pid=
user_existed=no
id "$service_user" >/dev/null 2>&1 && user_existed=yes

# dpkg, waiting up to a minute for its lock when another installation holds it.
dpkg_run() {
  local output
  for _ in $(seq 60); do
    if output=$(dpkg "$@" 2>&1); then
      echo "$output"
      return 0
    fi
    grep -q 'locked' <<<"$output" || { echo "$output"; return 1; }
    sleep 1
  done
  echo "$output"
  return 1
}
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -qv '^unknown\|not-installed'; }
purge_all() {
  if installed vexo-server; then
    echo "vexo-server vexo-server/purge-state boolean true" | debconf-set-selections
  fi
  local installed_now=()
  for name in "${packages[@]}"; do installed "$name" && installed_now+=("$name"); done
  [ ${#installed_now[@]} -eq 0 ] || dpkg_run --purge "${installed_now[@]}" >/dev/null 2>&1 || true
}
stop() {
  local pid=$1
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
}
cleanup() {
  # Only the processes this script started, by their ids.
  stop "$agent_pid"
  stop "$server_pid"
  stop "$xvfb_pid"
  purge_all
  rm -rf "$state" "$content" "$work"
  if [ "$user_existed" = no ] && id "$service_user" >/dev/null 2>&1; then
    deluser --system --quiet "$service_user" >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

for name in "${packages[@]}"; do
  if installed "$name"; then
    echo "note: $name was installed; purging it first"
    purge_all
    break
  fi
done

# What each package path was before installing: a path that did not exist must not exist after
# the purge.
for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
  sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort -u >"$work/paths"
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || echo "$path"
done <"$work/paths" >"$work/new-paths"

echo "== dpkg -i ${debs[*]##*/}"
dpkg_run -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; die "dpkg -i failed"; }
for name in "${packages[@]}"; do
  installed "$name" || fail "$name is not installed"
done

echo "== the service as installed"
systemd-analyze verify "$unit" || fail "systemd-analyze verify rejects $unit"
# Installing does not start the service, and does not have it start at boot.
if ls /etc/systemd/system/*/vexo-server.service >/dev/null 2>&1; then
  fail "installing enabled the service: $(ls /etc/systemd/system/*/vexo-server.service)"
fi

# The value of a [Service] setting of the unit (the last one given).
unit_value() { sed -n '/^\[Service\]/,/^\[/ s/^'"$1"'=//p' "$unit" | tail -1; }
exec_start=$(unit_value ExecStart)
run_user=$(unit_value User)
run_group=$(unit_value Group)
working_directory=$(unit_value WorkingDirectory)
environment_file=$(unit_value EnvironmentFile)
[ "$run_user" = "$service_user" ] || fail "the unit runs as '$run_user', expected $service_user"
[ "$environment_file" = "$config" ] || fail "the unit reads its options from '$environment_file'"
shell=$(getent passwd "$run_user" | cut -d: -f7)
[ "$shell" = /usr/sbin/nologin ] || fail "the service's user has the shell '$shell'"
[ "$(stat -c %U "$state")" = "$run_user" ] || fail "$state does not belong to $run_user"

echo "== configured as an administrator would, started with the unit's command line as $run_user"
cp -r "$example_content/." "$content/"
chmod -R a+rX "$content"
sed -i "s|^VEXO_ROOT=.*|VEXO_ROOT=$content|" "$config"
sed -i 's|^VEXO_OPTIONS=.*|VEXO_OPTIONS="--listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 --db '"$state"'/checkins.db --threads 2"|' \
  "$config"

# The environment file as systemd reads it: KEY=VALUE lines, comments, optional double quotes.
declare -A environment
while IFS= read -r line; do
  [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
  [[ $line =~ ^([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || die "unreadable line in $config: $line"
  name=${BASH_REMATCH[1]} value=${BASH_REMATCH[2]}
  [[ $value =~ ^\"(.*)\"$ ]] && value=${BASH_REMATCH[1]}
  environment[$name]=$value
done <"$environment_file"

# ExecStart as systemd expands it: "${NAME}" is one word, "$NAME" alone is split at white space.
command=()
read -r -a words <<<"$exec_start"
for word in "${words[@]}"; do
  if [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
    command+=("${environment[${BASH_REMATCH[1]}]-}")
  elif [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
    read -r -a split <<<"${environment[${BASH_REMATCH[1]}]-}"
    command+=("${split[@]}")
  elif [[ $word =~ [\$%\"\'\\] ]]; then
    die "ExecStart uses a form this test does not expand: $word"
  else
    command+=("$word")
  fi
done
echo "   ${command[*]}"

log=$work/server.log
: >"$log"  # the background shell below opens it only when it gets to run
(
  cd "$working_directory"
  exec setpriv --reuid="$run_user" --regid="$run_group" --init-groups --no-new-privs \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "${command[@]}"
) >"$log" 2>&1 &
server_pid=$!
origin=
for _ in $(seq $((wait_s * 10))); do
  origin=$(sed -n 's|^listening on \(http://127\.0\.0\.1:[0-9]*\)$|\1|p' "$log")
  [ -n "$origin" ] && break
  kill -0 "$server_pid" 2>/dev/null || die "vexo-server ended: $(cat "$log")"
  sleep 0.1
done
[ -n "$origin" ] || die "vexo-server named no address"
echo "   $origin"

echo "== the installed agent on a desktop, against it"
[ ! -e "/tmp/.X${display#:}-lock" ] || die "display $display is taken: set VEXO_XVFB_DISPLAY to a free one"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo -display "$display" >/dev/null 2>&1 || die "Xvfb did not start on $display"
kill -0 "$xvfb_pid" 2>/dev/null || die "Xvfb on $display ended: $(cat "$work/xvfb.log")"
export DISPLAY=$display

world=$work/desktop
mkdir -p "$world"/{home,data,config/vexo,runtime}
chmod 700 "$world/runtime"
# The machine-wide value the calendar's package would write.
echo "$origin" >"$world/config/vexo/server"
env -i HOME="$world/home" XDG_DATA_HOME="$world/data" XDG_CONFIG_DIRS="$world/config" \
  XDG_RUNTIME_DIR="$world/runtime" DISPLAY="$display" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  /usr/bin/vexo-agent &
agent_pid=$!

window=
for _ in $(seq $((wait_s * 10))); do
  window=$(xdotool search --onlyvisible --name '^Vexo$' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$window" ] || die "the agent's question did not appear on $display within ${wait_s}s"
sleep 1 # the dialog draws its text after it is mapped
mkdir -p "$(dirname "$screenshot")"
import -display "$display" -window root "$screenshot" || fail "no screenshot of the question"
echo "   question on screen; screenshot: $screenshot"
timeout 10 xdotool windowfocus --sync "$window" || fail "the question took no focus"
xdotool key Return

installer_log=$world/data/vexo/installer-runs.log
for _ in $(seq $((wait_s * 10))); do
  grep -q 'q=popup' "$log" && [ -f "$installer_log" ] && break
  sleep 0.1
done
grep -q "GET /client/getData.php?q=start&ver=$version&t=setup.exe " "$log" ||
  fail "no start query reporting version $version"
grep -q 'GET /files/vexo-setup-1.0.7.0.exe ' "$log" || fail "the installer was not downloaded"
grep -q 'GET /client/getData.php?q=popup' "$log" || fail "no pop-up query"
grep -q 'started with 2 argument(s): \[/S\] \[/source=update\]' "$installer_log" 2>/dev/null ||
  fail "the installer was not started with the offer's parameters"

kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=
[ "$status" = 1 ] || fail "the closed agent's exit status is $status, expected 1"
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" = 0 ] || fail "vexo-server ended with $status on SIGTERM"
[ "$(stat -c %U "$state/checkins.db" 2>/dev/null)" = "$run_user" ] ||
  fail "no check-in database written by $run_user in $state"

echo "== dpkg --purge"
dpkg_run --purge vexo-agent vexo-answer >>"$work/dpkg.log" 2>&1 || fail "purging the agent and tool failed"
# A purge that is not told otherwise keeps the check-ins.
dpkg_run --purge vexo-server >>"$work/dpkg.log" 2>&1 || fail "purging vexo-server failed"
[ -f "$state/checkins.db" ] || fail "a purge not asked to removed the service's state"
# Asked (as a preseeded answer), it removes them.
dpkg_run -i "${debs[1]}" >>"$work/dpkg.log" 2>&1 || fail "reinstalling vexo-server failed"
echo "vexo-server vexo-server/purge-state boolean true" | debconf-set-selections
dpkg_run --purge vexo-server >>"$work/dpkg.log" 2>&1 || fail "purging vexo-server failed"
[ ! -e "$state" ] || fail "a purge asked to remove the state left $state"

for name in "${packages[@]}"; do
  ! installed "$name" || fail "$name is still known to dpkg"
done
while read -r path; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "the purge left $path"
done <"$work/new-paths"
[ -z "$(debconf-show vexo-server 2>/dev/null)" ] || fail "the purge left debconf answers"

if [ $failures -ne 0 ]; then
  echo "server output:" >&2
  cat "$log" >&2
  echo "dpkg:" >&2
  cat "$work/dpkg.log" >&2
  exit 1
fi
echo "PASS: installed, used and purged"
