#!/usr/bin/env bash
# Configures and builds one flavour of krsoap: default (build/), asan
# (build-asan/, AddressSanitizer + UndefinedBehaviorSanitizer) or tsan
# (build-tsan/, ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
