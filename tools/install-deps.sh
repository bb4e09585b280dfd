#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need. Safe to run again.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev
  libnspr4-dev libldap-dev libwxgtk3.2-dev libsystemd-dev
  bison gettext
  slapd ldap-utils openssl libnss3-dev libnss3-tools
  libsqlite3-dev
  clang libclang-rt-14-dev clang-format doxygen
  xvfb xauth
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# slapd's postinst may start a system instance; our tests run their own on high loopback ports.
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
