#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing, builds,
# prepares a data root, and shows the platform at work.
#
# The demo keeps its own data root (build/demo-home) unless KRSOAP_HOME is
# set, so it never touches an operator's installation.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh default >/dev/null

export KRSOAP_HOME="${KRSOAP_HOME:-$PWD/build/demo-home}"
krsoap=build/bin/krsoap

echo "== krsoap setup (data root $KRSOAP_HOME)"
$krsoap setup

echo "== switch tracing on"
$krsoap reg add 'HKLM\SOFTWARE\Orvane\KRSoap' /v soapTrace /t REG_DWORD /d 1 /f
$krsoap reg query 'HKLM\SOFTWARE\Orvane' /s

echo "== a traced run"
$krsoap trace --demo
for f in "$KRSOAP_HOME"/Errors/KRSP*.trc; do
  echo "-- $f"
  cat "$f"
done
$krsoap reg add 'HKLM\SOFTWARE\Orvane\KRSoap' /v soapTrace /t REG_DWORD /d 0 /f >/dev/null
