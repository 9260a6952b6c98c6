#!/usr/bin/env bash
# The whole test run: installs what is missing, builds, and runs every test
# in the plain build and in the AddressSanitizer + UndefinedBehaviorSanitizer
# build. Pass "tsan" to run the ThreadSanitizer build instead, or "default"
# or "asan" to run only that one.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

flavours=("$@")
[ ${#flavours[@]} -eq 0 ] && flavours=(default asan)

jobs="$(nproc)"
# The PostgreSQL queue store is tested against a throwaway server on loopback,
# removed again however the run ends.
pgdir="$(./scripts/pg-test-server.sh start)"
trap './scripts/pg-test-server.sh stop "$pgdir"' EXIT
trap 'exit 130' INT TERM HUP
KRSOAP_TEST_PG="$(./scripts/pg-test-server.sh conninfo "$pgdir")"
export KRSOAP_TEST_PG
# Every flavour runs even when an earlier one fails, so that one run shows
# all the failures; the exit status is that of the first failure.
status=0
for f in "${flavours[@]}"; do
  echo "== build: $f"
  ./scripts/build.sh "$f"
  echo "== test: $f"
  ctest --preset "$f" -j "$jobs" || { rc=$?; echo "== FAILED: $f (ctest exit $rc)"; [ "$status" -eq 0 ] && status=$rc; }
done
exit "$status"
