#!/usr/bin/env bash
# Installs the Debian packages krsoap needs to build, test and run.
# Idempotent, and quiet when everything is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev
  libsqlite3-dev libpq-dev postgresql libxml2-dev libcurl4-openssl-dev libcpp-httplib-dev libsystemd-dev nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3-zeep php-cli php-soap
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
