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

# The PostgreSQL cases must have run against that server: a flavour whose
# run has none of them, or one that skipped for want of a server (its skip
# message names KRSOAP_TEST_PG), fails. CTest keeps every test's output in
# the build's Testing/Temporary/LastTest.log.
pg_cases_ran() {
  local log="$1"
  [ -f "$log" ] || { echo "no test log $log"; return 1; }
  if grep -q 'KRSOAP_TEST_PG not set' "$log"; then
    echo "PostgreSQL cases skipped although the test server runs:"
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /KRSOAP_TEST_PG not set/ { print "  " name }' "$log" | sort -u
    return 1
  fi
  grep -qiE '^[0-9]+/[0-9]+ Test: .*(postgres|PgStore)' "$log" || { echo "no PostgreSQL case ran"; return 1; }
}

# Every flavour runs even when an earlier one fails, so that one run shows
# all the failures; the exit status is that of the first failure.
status=0
for f in "${flavours[@]}"; do
  echo "== build: $f"
  ./scripts/build.sh "$f"
  echo "== test: $f"
  dir=build; [ "$f" = default ] || dir="build-$f"
  rm -f "$dir/Testing/Temporary/LastTest.log"
  if ctest --preset "$f" -j "$jobs"; then
    pg_cases_ran "$dir/Testing/Temporary/LastTest.log" || {
      echo "== FAILED: $f (PostgreSQL cases did not run)"; [ "$status" -eq 0 ] && status=1; }
  else
    rc=$?; echo "== FAILED: $f (ctest exit $rc)"; [ "$status" -eq 0 ] && status=$rc
  fi
done
exit "$status"
