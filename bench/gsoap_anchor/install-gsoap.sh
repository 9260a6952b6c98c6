#!/bin/sh
# Installs Debian's gsoap (soapcpp2 and libgsoap) for the end-to-end
# benchmarks' gSOAP anchor, then reconfigure the build so that CMake finds it.
# Only the benchmarks use it; the product never depends on it.
set -e
if command -v soapcpp2 >/dev/null 2>&1 && [ -f /usr/include/stdsoap2.h ]; then
  echo "gsoap is installed"
  exit 0
fi
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q gsoap libgsoap-dev
