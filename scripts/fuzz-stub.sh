#!/usr/bin/env bash
# Builds the stub decoder's libFuzzer target with clang, AddressSanitizer,
# UndefinedBehaviorSanitizer and coverage over the whole platform layer, seeds
# its corpus with the well-formed calls the test suite uses, and runs it.
#
#   scripts/fuzz-stub.sh [SECONDS=300] [extra libFuzzer flags...]
#
# The build lives in build-fuzz (KRSOAP_FUZZ_BUILD to change it); the corpus
# grows in build-fuzz/stub-corpus, crashes land in build-fuzz/stub-crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
build=${KRSOAP_FUZZ_BUILD:-build-fuzz}
cc=${CC:-clang-14}
cxx=${CXX:-clang++-14}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DKRSOAP_ASAN=ON -DKRSOAP_FUZZ=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" --target com_rpc_stub_fuzzer com_rpc_fuzz_test -j2
corpus="$build/stub-corpus"
crashes="$build/stub-crashes"
mkdir -p "$corpus" "$crashes"
KRSOAP_STUB_CORPUS="$corpus" "$build/bin/com_rpc_fuzz_test" >/dev/null
exec "$build/bin/com_rpc_stub_fuzzer" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 \
  -artifact_prefix="$crashes/" -print_final_stats=1 "$@" "$corpus"
