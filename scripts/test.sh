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
for f in "${flavours[@]}"; do
  echo "== build: $f"
  ./scripts/build.sh "$f"
  echo "== test: $f"
  ctest --preset "$f" -j "$jobs"
done
