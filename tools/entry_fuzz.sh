#!/usr/bin/env bash
# Fuzzes every exported entry point under Wine against the fault-injecting
# engine (tests/stress/entry_fuzz.cpp).
#   tools/entry_fuzz.sh                      1,000,000 calls, seed from the clock
#   tools/entry_fuzz.sh --calls N --seed S   N calls with seed S (replays a run)
# Expects a configured build (tools/test.sh makes one).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
calls=1000000
seed=$(date +%s)
while [ $# -gt 0 ]; do
    case "$1" in
    --calls) calls=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) echo "usage: $0 [--calls N] [--seed S]" >&2; exit 2 ;;
    esac
done
cmake --build "$build" -j2 --target entry_fuzz >/dev/null
CORVANEL_FUZZ_CALLS=$calls CORVANEL_FUZZ_SEED=$seed \
    "$build/wine-run.sh" "$build/bin/entry_fuzz.exe" --gtest_brief=1
