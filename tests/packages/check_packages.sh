#!/usr/bin/env bash
# Checks the built packages without installing them: lintian finds no error and no warning, the
# agent's autostart entry is valid and hidden from menus, removing the server stops its service
# and keeps an edited configuration on upgrade, and the man pages (and the service's
# configuration file) name exactly the options and commands that the packaged programs' --help
# names.
#
#   check_packages.sh PACKAGE_FOLDER     (build/packages after scripts/package.sh)
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PACKAGE_FOLDER" >&2
  exit 2
fi
folder=$1
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

debs=()
for name in vexo-agent vexo-server vexo-answer; do
  deb=$(ls "$folder/${name}"_*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || { echo "FAIL: no $name package in $folder" >&2; exit 1; }
  debs+=("$deb")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vexo-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$work/root"
done
root=$work/root

echo "== lintian"
# Informational tags are listed; an error or a warning fails.
lintian --display-info --fail-on error,warning "${debs[@]}" 2>&1 |
  grep -v 'running with root privileges' || true
[ "${PIPESTATUS[0]}" = 0 ] || fail "lintian reports errors or warnings"

echo "== autostart entry"
entry=$root/etc/xdg/autostart/vexo-agent.desktop
if desktop-file-validate "$entry"; then
  grep -qx 'NoDisplay=true' "$entry" || fail "the autostart entry is not hidden (NoDisplay=true)"
  grep -qx 'Exec=vexo-agent' "$entry" || fail "the autostart entry does not start vexo-agent"
else
  fail "desktop-file-validate rejects $entry"
fi
[ ! -d "$root/usr/share/applications" ] || fail "a package adds a menu entry"

echo "== the agent's dependencies"
# What the agent's transfer program links: libcurl for HTTP, libproxy for the desktop's proxy
# settings. The agent starts it from the libexec folder beside its own.
[ -x "$root/usr/libexec/vexo/vexo-transfer" ] || fail "vexo-agent has no /usr/libexec/vexo/vexo-transfer"
depends=$(dpkg-deb -f "${debs[0]}" Depends)
for library in libcurl4 libproxy1v5; do
  [[ $depends == *"$library"* ]] || fail "vexo-agent does not depend on $library: $depends"
done

echo "== the service"
# systemd's own score of the unit's confinement, from 0 (confined) to 10; the unit scores 1.4.
systemd-analyze security --offline=true --threshold=20 "$root/lib/systemd/system/vexo-server.service" \
  >"$work/security" 2>&1 || fail "the service's exposure is above 2.0: hardening was lost"
grep 'Overall exposure' "$work/security" | sed 's/^→ */   /'
dpkg-deb -e "${debs[1]}" "$work/control"
grep -q "deb-systemd-invoke stop 'vexo-server.service'" "$work/control/prerm" ||
  fail "removing vexo-server does not stop the service"
grep -qx /etc/vexo-server/vexo-server.conf "$work/control/conffiles" ||
  fail "the service's configuration file is not a conffile: an upgrade would overwrite it"

# The long options a text names, one a line, sorted; in roff, "\-" is a hyphen.
options_of() { sed 's/\\-/-/g' | grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }
# The sections of a man page that describe the program's own command line.
command_line_sections() {
  awk '/^\.SH / { keep = ($2 == "SYNOPSIS" || $2 == "OPTIONS" || $2 == "COMMANDS"); next } keep'
}
# The commands of a program with commands: the word after the program's name in its usage lines.
commands_of() { sed 's/\\-/-/g; s/^\.B //' | grep -o -- "^ *\(usage: \)\?$1 [a-z][a-z0-9-]*" |
  awk '{ print $NF }' | sort -u; }

same_list() {
  local what=$1 from_help=$2 from_page=$3 page=${4:-the man page}
  if [ "$from_help" != "$from_page" ]; then
    fail "$page and --help differ in $what"
    diff <(echo "$from_help") <(echo "$from_page") | sed -n "s/^</  only in --help:/p; s/^>/  only in $page:/p" >&2 || true
  fi
}

echo "== man pages in step with --help"
for program in usr/sbin/vexo-server:man8/vexo-server.8 usr/bin/vexo-answer:man1/vexo-answer.1; do
  binary=$root/${program%%:*}
  page=$root/usr/share/man/${program#*:}.gz
  name=$(basename "$binary")
  [ -f "$page" ] || { fail "no man page for $name"; continue; }
  help=$("$binary" --help)
  same_list "$name's options" "$(options_of <<<"$help")" "$(zcat "$page" | command_line_sections | options_of)"
  same_list "$name's commands" "$(commands_of "$name" <<<"$help")" \
    "$(zcat "$page" | commands_of "$name")"
done

echo "== the service's configuration file in step with --help"
# Its comment lines that start with an option describe every option but --root (its own
# VEXO_ROOT) and the program's --help and --version.
same_list "vexo-server's options" \
  "$("$root/usr/sbin/vexo-server" --help | options_of | grep -vx -e --root -e --help -e --version)" \
  "$(grep '^# *--' "$root/etc/vexo-server/vexo-server.conf" | options_of)" "the configuration file"

if [ $failures -ne 0 ]; then
  exit 1
fi
echo "PASS: package checks"
