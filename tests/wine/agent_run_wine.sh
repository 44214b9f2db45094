#!/usr/bin/env bash
# The real vexo-agent.exe under wine against the real vexo-server on 127.0.0.1, with the example
# content whose installer is replaced by the stand-in installer (which records its parameters).
# The test looks only at what can be seen from outside: the requests in the server's access log
# and when they came, the window the agent asks its question in (answered with the keyboard, as a
# user would), the installer in the data folder, what the installer was started with, and how the
# agent ends.
#
#   agent_run_wine.sh SCENARIO AGENT_EXE FAKE_INSTALLER_EXE VEXO_SERVER EXAMPLE_CONTENT
#                     [VEXO_ANSWER UPDATE_KEYS_DIR]
#
# Scenarios:
#   answer-yes  no "application" value; the installer is downloaded and verified, the question is
#               answered Yes (Return, the default button), the installer starts with the offer's
#               parameters; the pop-up answer is accepted and the agent stays resident.
#   answer-no   "application" set; a verified installer is already present, so nothing is
#               downloaded; the question is answered No ("n"), nothing starts; the pop-up answer
#               is rejected and the agent ends by itself with exit code 1.
#   forced      a forced offer: no question at all, the installer starts directly.
#   mismatch    the offer's digest is not the installer's: it is downloaded, but the agent asks
#               nothing and starts nothing; the pop-up query still follows.
#   resume      the forced run with the first part of the installer already in the data folder, as
#               a download cut short in an earlier run leaves it: only the rest is asked for (the
#               server answers 206 with exactly those bytes), and the completed file starts.
#   https       the forced run over https: the server's certificate comes from a throwaway test
#               CA that ROOT_STORE_EXE puts into the prefix's Root store for the length of the run.
#   https-stranger, https-other-host
#               the same, but the server's certificate is from a CA nobody trusts, or for another
#               host: each query fails, so no request is answered, nothing is downloaded, nothing
#               starts, and the agent stays resident.
#   proxy       the forced run through a squid that the user's Internet settings name
#               (PROXY_CREDENTIAL_EXE saves credentials, see below); squid's log shows the requests.
#   proxy-basic the same through a squid that asks for Basic credentials, which are saved for the
#               proxy in the prefix's credential store for the length of the run. (Wine's WinINet
#               answers no Digest challenge of a proxy, so Digest is not tried here.)
#   proxy-https the run of "proxy" over https: a tunnel through the proxy, the test CA in the Root
#               store. (Through a proxy that asks for credentials wine's WinINet sends the request
#               in the clear after the refused CONNECT, so that is not tried here.)
#   proxy-unsaved
#               the same squid without saved credentials: each query fails at the proxy, so the
#               server sees nothing, nothing is downloaded or started, and the agent stays resident.
#
# For the agent pinned to the test keys in UPDATE_KEYS_DIR (signed with the native VEXO_ANSWER):
#   signed-yes  as answer-yes, the offer signed by the second pinned key.
#   signed-no   as answer-no, the offer signed by the first pinned key: the question shows that
#               the present installer's signature verified, without a download.
#   unsigned    the digest matches but the offer has no signature: downloaded, nothing asked or
#               started, as with mismatch.
#
# Wine is set up by scripts/wine-env.sh (WINEPREFIX and DISPLAY from the environment when set).
# The script writes the machine-wide values "server" and "application" under HKLM\Software\vexo
# and removes them again when it ends.
set -euo pipefail

if [ $# -ne 5 ] && [ $# -ne 7 ]; then
  echo "usage: $0 SCENARIO AGENT_EXE FAKE_INSTALLER_EXE VEXO_SERVER EXAMPLE_CONTENT" \
    "[VEXO_ANSWER UPDATE_KEYS_DIR]" >&2
  exit 2
fi
scenario=$1 agent=$2 fake_installer=$3 server=$4 example_content=$5
answer_tool=${6:-} keys_dir=${7:-}
# The Root store helper of the https scenarios, the credential helper of the proxy ones.
root_store=${VEXO_ROOT_STORE:-}
proxy_credential=${VEXO_PROXY_CREDENTIAL:-}
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Bounds: generous, so a slow machine does not fail the test, yet every wait ends.
readonly question_wait_s=60
readonly request_wait_s=25
readonly exit_wait_s=20

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

# The pinned agent's scenarios go as the default ones named here, with the offer signed by `signer`.
signer=
case $scenario in
  answer-yes | answer-no | forced | mismatch) behaviour=$scenario ;;
  resume) behaviour=forced ;;
  signed-yes) behaviour=answer-yes signer=2 ;;
  signed-no) behaviour=answer-no signer=1 ;;
  unsigned) behaviour=mismatch ;;
  https) behaviour=forced ;;
  https-stranger | https-other-host) behaviour=refused ;;
  proxy | proxy-basic | proxy-https) behaviour=forced ;;
  proxy-unsaved) behaviour=refused ;;
  *) die "unknown scenario '$scenario'" ;;
esac
if [ -n "$signer" ] || [ "$scenario" = unsigned ]; then
  [ -x "$answer_tool" ] || die "the native vexo-answer is needed to sign offers: '$answer_tool'"
  [ -d "$keys_dir" ] || die "no test keys at '$keys_dir'"
fi
case $scenario in
  https* | proxy-https) secure=1 ;;
  *) secure= ;;
esac
refused=
[ "$behaviour" != refused ] || refused=1
[ -z "$secure" ] || [ -f "$root_store" ] || die "the Root store helper (VEXO_ROOT_STORE) is needed for $scenario"
case $scenario in
  proxy | proxy-https) proxy_auth=none ;;
  proxy-*) proxy_auth=basic ;;
  *) proxy_auth= ;;
esac
[ "$scenario" != proxy-basic ] || [ -f "$proxy_credential" ] ||
  die "the credential helper (VEXO_PROXY_CREDENTIAL) is needed for $scenario"
[ -x "$server" ] || die "vexo-server not found at '$server': build the native preset first" \
  "(cmake --preset release && cmake --build --preset release --target vexo-server), or set" \
  "VEXO_NATIVE_SERVER when configuring the Windows build"
[ -f "$agent" ] || die "agent not found at '$agent'"
[ -f "$fake_installer" ] || die "stand-in installer not found at '$fake_installer'"
command -v xdotool >/dev/null || die "xdotool is needed to answer the question"

# shellcheck source=../../scripts/wine-env.sh
source "$repo/scripts/wine-env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vexo-wine-run.XXXXXX")
server_pid=
agent_pid=
ca_added=
squid_dir= squid_pid= proxy_port= credential_saved= settings_saved=
internet_settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
cleanup() {
  # Only the processes this script started, by their ids.
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  wine reg delete 'HKLM\Software\vexo' /v server /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\Software\vexo' /v application /f >/dev/null 2>&1 || true
  if [ -n "$credential_saved" ]; then
    wine "$proxy_credential" remove "127.0.0.1:$proxy_port" >/dev/null ||
      echo "FAIL: the proxy's credentials could not be removed" >&2
  fi
  if [ -n "$settings_saved" ]; then
    for value in ProxyEnable ProxyServer ProxyOverride; do
      wine reg delete "$internet_settings" /v $value /f >/dev/null 2>&1 || true
    done
    wine reg import "$(winepath -w "$work/internet-settings.reg")" >/dev/null 2>&1 ||
      echo "FAIL: the Internet settings could not be restored" >&2
  fi
  if [ -n "$squid_pid" ]; then
    kill "$squid_pid" 2>/dev/null || true
    wait "$squid_pid" 2>/dev/null || true
  fi
  [ -z "$squid_dir" ] || rm -rf "$squid_dir"
  if [ -n "$ca_added" ]; then
    wine "$root_store" remove "$(winepath -w "$work/certs/ca.pem")" >/dev/null ||
      echo "FAIL: the test CA could not be removed from the Root store" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { echo "$EPOCHREALTIME"; }
# Seconds from $1 to $2 as a decimal text; compared with awk, since bash has no fractions.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; }

# --- the content: the example, with the stand-in installer offered under the example's name ----
content="$work/content"
cp -r "$example_content" "$content"
offered="$content/files/vexo-setup-1.0.7.0.exe"
cp "$fake_installer" "$offered"
digest=$(md5sum "$offered" | cut -d' ' -f1)
sed -i "s|<md5>[0-9a-fA-F]*</md5>|<md5>$digest</md5>|" "$content/start.xml"
grep -q "<md5>$digest</md5>" "$content/start.xml" || die "the example offer has no md5 element"
if [ -n "$signer" ]; then
  install -m 600 "$keys_dir/pinned-$signer.key" "$work/signer.key"
  signature=$("$answer_tool" sign --key "$work/signer.key" --version 1.0.7.0 "$offered") ||
    die "vexo-answer could not sign the installer"
  sed -i "s|</md5>|</md5><signature>$signature</signature>|" "$content/start.xml"
fi
case $scenario in
  forced | https* | proxy* | resume)
    sed -i 's|<force>n</force>|<force>y</force>|' "$content/start.xml"
    grep -q '<force>y</force>' "$content/start.xml" || die "the example offer has no force element"
    ;;
  mismatch)
    sed -i "s|<md5>$digest</md5>|<md5>00000000000000000000000000000000</md5>|" "$content/start.xml"
    ;;
  answer-no | signed-no)
    sed -i 's|<errcode>0</errcode>|<errcode>-1</errcode>|' "$content/popup.xml"
    grep -q '<errcode>-1</errcode>' "$content/popup.xml" || die "the example pop-ups have no errcode"
    ;;
esac

# --- the server, each line of its access log stamped with the time it was written -------------
log="$work/access.log"
stamp_lines() {
  while IFS= read -r line; do
    printf '%s %s\n' "$EPOCHREALTIME" "$line"
  done
}
# --- over https: a certificate of the test CA (or of a stranger), the CA in the Root store ----
tls=()
if [ -n "$secure" ]; then
  mkdir "$work/certs"
  bash "$repo/tests/support/make_test_certificates.sh" "$work/certs"
  case $scenario in
    https | proxy-https) certificate=server.pem ;;
    https-stranger) certificate=stranger.pem ;;
    https-other-host) certificate=other-host.pem ;;
  esac
  tls=(--tls-cert "$work/certs/$certificate" --tls-key "$work/certs/server.key")
  wine "$root_store" add "$(winepath -w "$work/certs/ca.pem")" || die "cannot add the test CA"
  ca_added=1
fi

# What sed's EXPRESSION first prints of FILE, which the background program PID writes: waited for
# ten seconds at most, and not once the program has ended.
first_output() { # FILE PID EXPRESSION
  local found
  for _ in $(seq 100); do
    found=$(sed -n "$3" "$1" 2>/dev/null | head -1)
    [ -z "$found" ] || { echo "$found"; return 0; }
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The log exists before the server starts: the process substitution below creates it only when
# its own shell gets to run, and reading a missing file would end this script.
: >"$log"
"$server" --root "$content" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 \
  --db "$work/checkins.db" --threads 2 "${tls[@]}" \
  > >(stamp_lines >"$log") 2>"$work/server.err" &
server_pid=$!
origin=$(first_output "$log" "$server_pid" \
  's|^[0-9.]* listening on \(https\{0,1\}://127\.0\.0\.1:[0-9]*\)$|\1|p') ||
  die "vexo-server named no address: $(cat "$work/server.err")"
echo "server: $origin"

# --- through a proxy: squid, named in the user's Internet settings --------------------------------
if [ -n "$proxy_auth" ]; then
  squid_dir=$(mktemp -d "${TMPDIR:-/tmp}/vexo-wine-squid.XXXXXX")
  bash "$repo/tests/support/squid_proxy.sh" "$squid_dir" "$proxy_auth" alice 'pr0xy s3cret' \
    >"$work/squid.out" 2>"$work/squid.err" &
  squid_pid=$!
  proxy_port=$(first_output "$work/squid.out" "$squid_pid" 1p) ||
    die "squid did not start: $(cat "$work/squid.err")"
  echo "proxy: 127.0.0.1:$proxy_port ($proxy_auth)"
  wine reg export "$internet_settings" "$(winepath -w "$work/internet-settings.reg")" /y \
    >/dev/null || die "cannot save the Internet settings"
  settings_saved=1
  wine reg add "$internet_settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null
  wine reg add "$internet_settings" /v ProxyServer /d "127.0.0.1:$proxy_port" /f >/dev/null
  wine reg delete "$internet_settings" /v ProxyOverride /f >/dev/null 2>&1 || true
  if [ "$scenario" = proxy-basic ]; then
    wine "$proxy_credential" add "127.0.0.1:$proxy_port" alice 'pr0xy s3cret' ||
      die "cannot save the proxy's credentials"
    credential_saved=1
  fi
fi

# --- the machine-wide values and the data folder ------------------------------------------------
wine reg add 'HKLM\Software\vexo' /v server /d "$origin" /f >/dev/null
if [ "$behaviour" = answer-no ]; then
  application=vexo-calendar.exe
  wine reg add 'HKLM\Software\vexo' /v application /d "$application" /f >/dev/null
else
  application=setup.exe  # what the agent reports when the value is absent
  wine reg delete 'HKLM\Software\vexo' /v application /f >/dev/null 2>&1 || true
fi
appdata=$(wine cmd /c 'echo %APPDATA%' | tr -d '\r')
data_folder="$(winepath -u "$appdata" | sed 's|/*$||')/vexo"
[ -d "$(dirname "$data_folder")" ] || die "no application-data folder at '$data_folder'"
installer="$data_folder/vexo-setup.exe"
record="$installer.args"
rm -f "$installer" "$record" "$data_folder"/*.partial
if [ "$behaviour" = answer-no ]; then
  mkdir -p "$data_folder"
  cp "$fake_installer" "$installer"
fi
size=$(stat -c %s "$offered")
kept=0
if [ "$scenario" = resume ]; then
  kept=$((size / 2))
  mkdir -p "$data_folder"
  head -c "$kept" "$offered" >"$installer.$digest.partial"
fi

# --- the run ------------------------------------------------------------------------------------
question_window() { xdotool search --name '^Vexo$' 2>/dev/null | head -1 || true; }
[ -z "$(question_window)" ] || die "a window titled Vexo is open before the agent starts"

# The time of the first access-log line whose request starts with $1, or nothing.
request_time() { awk -v want="\"GET $1" 'index($0, want) { print $1; exit }' "$log"; }
wait_for_request() {
  local deadline=$((SECONDS + request_wait_s))
  while [ $SECONDS -lt $deadline ]; do
    [ -n "$(request_time "$1")" ] && return 0
    sleep 0.1
  done
  return 1
}

launched=$(now)
wine "$agent" >/dev/null 2>&1 &
agent_pid=$!

answered=
if [ -n "$refused" ]; then
  # Both queries are tried, about two and three seconds after the start, and both fail in the
  # handshake, which leaves nothing in the access log to wait for: the run is given eight seconds.
  while [ "$(elapsed "$launched" "$(now)" | cut -d. -f1)" -lt 8 ]; do
    [ -z "$(question_window)" ] || fail "a question was asked over a refused certificate"
    sleep 0.1
  done
elif [ "$behaviour" = forced ] || [ "$behaviour" = mismatch ]; then
  # No question: the pop-up query comes, and no window titled Vexo has appeared before it.
  deadline=$((SECONDS + request_wait_s))
  while [ $SECONDS -lt $deadline ] && [ -z "$(request_time /client/getData.php?q=popup)" ]; do
    [ -z "$(question_window)" ] || fail "the $scenario offer asked the question"
    sleep 0.1
  done
else
  window=
  deadline=$((SECONDS + question_wait_s))
  while [ $SECONDS -lt $deadline ] && [ -z "$window" ]; do
    window=$(question_window)
    [ -n "$window" ] || sleep 0.1
  done
  [ -n "$window" ] || die "no window titled Vexo appeared within ${question_wait_s}s"
  # While the question is open the pop-up query must not have been made.
  [ -z "$(request_time /client/getData.php?q=popup)" ] || fail "pop-up query made while asking"
  # Focus only, since no window manager runs on the test display; bounded, as --sync waits.
  timeout 10 xdotool windowfocus --sync "$window" || die "the question window took no focus"
  if [ "$behaviour" = answer-yes ]; then key=Return; else key=n; fi
  answered=$(now)
  xdotool key "$key"
  echo "answered with $key after $(elapsed "$launched" "$answered")s"
fi

[ -n "$refused" ] || wait_for_request /client/getData.php?q=popup ||
  fail "no pop-up query within ${request_wait_s}s"

# --- what the agent did -------------------------------------------------------------------------
start_url="/client/getData.php?q=start&ver=1.0.6.0&t=$application"
popup_url="/client/getData.php?q=popup&ver=1.0.6.0&t=$application"
download_url=/files/vexo-setup-1.0.7.0.exe

# The agent's requests, in order, without the server's own lines.
requests=$(sed -n 's|^[0-9.]* [^"]*"GET \([^ ]*\) HTTP/1\.[01]".*|\1|p' "$log")
if [ -n "$refused" ]; then
  expected=
elif [ "$behaviour" = answer-no ]; then
  expected=$(printf '%s\n' "$start_url" "$popup_url")
else
  expected=$(printf '%s\n' "$start_url" "$download_url" "$popup_url")
fi
if [ "$requests" != "$expected" ]; then
  fail "requests differ"
  echo "expected:" >&2
  echo "$expected" >&2
  echo "received:" >&2
  echo "$requests" >&2
fi

start_at=$(request_time "$start_url")
popup_at=$(request_time "$popup_url")
if [ -n "$start_at" ] && [ -n "$popup_at" ]; then
  # About two seconds after start; wine's own start-up comes on top.
  first=$(elapsed "$launched" "$start_at")
  within "$first" 1.8 15 || fail "start query ${first}s after launch, expected about 2s"
  # About one second after the start query's handling ended: after the answer when there was a
  # question, after the download otherwise.
  if [ -n "$answered" ]; then handled=$answered; else handled=$(request_time "$download_url"); fi
  gap=$(elapsed "${handled:-$start_at}" "$popup_at")
  within "$gap" 0.9 10 || fail "pop-up query ${gap}s after the start query's handling, expected about 1s"
  echo "start query after ${first}s, pop-up query ${gap}s after the start handling"
fi

installer_digest=$(md5sum "$installer" 2>/dev/null | cut -d' ' -f1 || true)
if [ -n "$refused" ]; then
  [ ! -e "$installer" ] || fail "an installer was downloaded over a refused certificate"
else
  [ "$installer_digest" = "$digest" ] || fail "no verified installer at $installer"
fi
if compgen -G "$data_folder/*.partial" >/dev/null; then
  fail "a partial download was left beside the installer: $(ls "$data_folder")"
fi
if [ "$scenario" = resume ]; then
  # The download's line ends in its status and the body bytes sent.
  sent=$(awk -v want="\"GET $download_url " 'index($0, want) { print $(NF-1), $NF; exit }' "$log")
  [ "$sent" = "206 $((size - kept))" ] ||
    fail "the resumed download was answered '$sent', expected '206 $((size - kept))'"
fi

# What the proxy saw: every request of the run, or, refused, each query twice at most (without
# and with credentials), never a loop.
if [ -n "$proxy_auth" ]; then
  squid_log="$squid_dir/access.log"
  if [ -n "$secure" ]; then
    : # squid logs a tunnel once it closes: looked at once the agent has ended, below
  elif [ -z "$refused" ]; then
    for url in "$start_url" "$download_url" "$popup_url"; do
      grep -qF "/200 GET $origin$url" "$squid_log" || fail "$url did not go through the proxy"
    done
  else
    for url in "$start_url" "$popup_url"; do
      grep -qF "/407 GET $origin$url" "$squid_log" || fail "the proxy did not refuse $url"
    done
    [ "$(grep -c ' GET ' "$squid_log")" -le 4 ] || fail "the refused queries were tried again and again"
  fi
fi

# What the installer was started with; it writes its record only when started.
wait_for_record() {
  for _ in $(seq 100); do
    [ -f "$record" ] && return 0
    sleep 0.1
  done
  return 1
}
if [ "$behaviour" = answer-no ] || [ "$behaviour" = mismatch ] || [ -n "$refused" ]; then
  sleep 1  # a launch that should not happen gets a moment to show itself
  [ ! -e "$record" ] || fail "the installer was started ($scenario): '$(cat "$record")'"
else
  if wait_for_record; then
    [ "$(cat "$record")" = "/S /source=update" ] ||
      fail "the installer was started with '$(cat "$record")', expected '/S /source=update'"
  else
    fail "the installer was not started"
  fi
fi

# How the agent ends: a rejected pop-up answer ends it with 1; an accepted one keeps it resident.
if [ "$behaviour" = answer-no ]; then
  status=
  for _ in $(seq $((exit_wait_s * 10))); do
    if ! kill -0 "$agent_pid" 2>/dev/null; then
      set +e
      wait "$agent_pid"
      status=$?
      set -e
      agent_pid=
      break
    fi
    sleep 0.1
  done
  [ "$status" = 1 ] || fail "after a rejected pop-up answer the agent's exit status is '${status:-still running}', expected 1"
else
  sleep 1
  kill -0 "$agent_pid" 2>/dev/null || fail "the agent ended after an accepted pop-up answer"
fi
[ -z "$(question_window)" ] || fail "a window titled Vexo is still open"

# The tunnel through the proxy (WinINet sends the three requests through one) closes with the
# agent, and only then does squid log it.
if [ -n "$proxy_auth" ] && [ -n "$secure" ]; then
  kill "$agent_pid" 2>/dev/null || true
  wait "$agent_pid" 2>/dev/null || true
  agent_pid=
  tunnel="TCP_TUNNEL/200 CONNECT ${origin#https://} "
  for _ in $(seq 100); do
    ! grep -q "$tunnel" "$squid_log" || break
    sleep 0.1
  done
  tunnels=$(grep -c "$tunnel" "$squid_log" || true)
  [ "$tunnels" -ge 1 ] || fail "no tunnel through the proxy"
  echo "tunnels through the proxy: $tunnels"
fi

if [ $failures -ne 0 ]; then
  echo "access log:" >&2
  cat "$log" >&2
  if [ -n "$proxy_auth" ]; then
    echo "proxy's access log:" >&2
    cat "$squid_dir/access.log" >&2 || true
  fi
  exit 1
fi
echo "PASS: $scenario"
