#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test. Safe to run again:
# packages already present are left alone and the package lists are only fetched when needed.
set -euo pipefail

PACKAGES=(
  # building
  build-essential cmake pkg-config libsqlite3-dev
  # the console (Qt 6 Widgets), and a virtual display for its screenshots
  qt6-base-dev xvfb xauth
  # tests and checks
  googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # peers and tools the tests drive
  sqlite3 socat util-linux procps iproute2 python3
  curl wget openssl tinyproxy dante-server netcat-openbsd chromium fonts-dejavu-core
  # the gateways' and web server's FTP peers: a server and a client
  python3-pyftpdlib lftp
  # the DNS relay, the DHCP server and the UDP mappings: dig and host, a dnsmasq upstream, DHCP clients
  bind9-dnsutils dnsmasq-base busybox isc-dhcp-client
  # the dialer's layer over pppd: the real pppd (its pair over a pty runs where the kernel has PPP)
  ppp
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
