#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian 12 machine. Safe to run again:
# it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libmicrohttpd-dev libgnutls28-dev gnutls-bin libsqlite3-dev sqlite3
  libpq-dev postgresql-15 prometheus-cpp-dev prometheus
  libproxy-dev libproxy1-plugin-gsettings gsettings-desktop-schemas squid
  libssl-dev libpugixml-dev libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  mingw-w64 wine wine64 xvfb xauth xdotool x11-utils
  curl wrk nginx-light python3 procps
  chromium libpng-dev
  debhelper dpkg-dev lintian desktop-file-utils systemd adduser debconf zenity fonts-wqy-microhei
  imagemagick
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
