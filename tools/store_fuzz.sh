#!/usr/bin/env bash
# The stateful fuzzer's long runs (tests/stress/store_fuzz.cpp): the plugin
# driven as both file managers do, in each edition, over the reference engine
# registered in the end-to-end prefixes, every step checked against a model
# of the store, while the engine fails, ends and stalls on plan, a second
# client changes the store, and local files are locked, read-only or gone.
#   tools/store_fuzz.sh                     1,000,000 steps per edition, seed from the clock
#   tools/store_fuzz.sh --steps N --seed S  N steps with seed S (replays a run)
#   tools/store_fuzz.sh --edition 32|64     one edition only
#   tools/store_fuzz.sh --nested off        no calls inside calls (walks one level at a time, no calls from callbacks)
# Expects a configured build (tools/test.sh makes one).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
steps=1000000
seed=$(date +%s)
editions="32 64"
nested=on
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "usage: $0 [--steps N] [--seed S] [--edition 32|64] [--nested on|off]" >&2; exit 2; }
    case "$1" in
    --steps) steps=$2 ;;
    --seed) seed=$2 ;;
    --edition) editions=$2 ;;
    --nested) nested=$2 ;;
    *) echo "usage: $0 [--steps N] [--seed S] [--edition 32|64] [--nested on|off]" >&2; exit 2 ;;
    esac
    shift 2
done
cmake --build "$build" -j2 --target store_fuzz store_client corvanel_engine corvanel corvanel_helper edition64 >/dev/null
engine="$build/bin/corvanel_engine.dll"
"$here/tools/wine-prefix.sh" "$build/wineprefix-e2e" register "$engine"
WINEARCH=win64 "$here/tools/wine-prefix.sh" "$build/wineprefix64-e2e" register "$engine"
status=0
for edition in $editions; do
    case "$edition" in
    32) runner="$build/wine-run-e2e.sh" program="$build/bin/store_fuzz.exe" ;;
    64) runner="$build/wine-run-e2e64.sh" program="$build/bin/store_fuzz64.exe" ;;
    *) echo "no edition $edition" >&2; exit 2 ;;
    esac
    started=$SECONDS
    "$runner" "$program" --seed "$seed" --steps "$steps" --nested "$nested" || status=1
    echo "edition $edition: $((SECONDS - started)) s in all"
done
exit "$status"
