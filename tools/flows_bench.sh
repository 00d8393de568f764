#!/usr/bin/env bash
# The everyday flows, each edition against the same work straight on the
# engine (tests/bench/flows_bench.cpp): builds both modules, the helper, the
# reference engine and both sides of the benchmark; registers the engine in
# the build's flows prefix (build/wineprefix64-flows, a win64 prefix of its
# own); makes the store once (build/flows-store: folders of 1,000, 10,000 and
# 100,000 objects and one of 1,000 objects of 4 KiB, written from here: under
# Wine, making files in a folder of many thousand names is slow); then runs
# the comparison with the latency model off, on, or both in turn.
#   flows_bench.sh [--latency off|on|both] [--rounds N] [--flows a,b] [--sizes a,b]
# Not a test: it prints figures.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
prefix=$build/wineprefix64-flows
store=$build/flows-store
latency=both
arguments=()
while [ $# -gt 0 ]; do
    case "$1" in
    --latency) latency=$2; shift 2 ;;
    *) arguments+=("$1"); shift ;;
    esac
done
case "$latency" in off|on|both) ;; *) echo "--latency takes off, on or both" >&2; exit 2 ;; esac

[ -f "$build/build.ninja" ] || "$here/tools/configure.sh"
cmake --build "$build" -j2 --target corvanel corvanel_helper corvanel_engine flows_bench edition64 >/dev/null

if [ ! -f "$store/.made" ]; then
    rm -rf "$store"
    python3 - "$store" <<'EOF'
import os, sys
root = os.path.join(sys.argv[1], "bench", "flows")
for size in (1000, 10000, 100000):
    folder = os.path.join(root, f"f{size}")
    os.makedirs(folder)
    for n in range(size):
        open(os.path.join(folder, f"obj-{n:06d}.txt"), "wb").close()
small = os.path.join(root, "small")
os.makedirs(small)
data = os.urandom(4096)
for n in range(1000):
    with open(os.path.join(small, f"file-{n:04d}.bin"), "wb") as f:
        f.write(data)
EOF
    touch "$store/.made"
fi

WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" register "$build/bin/corvanel_engine.dll"
WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" start
trap 'WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" stop' EXIT
export CORVANEL_STORE="Z:${store//\//\\}"
unset CORVANEL_THROTTLE_MS CORVANEL_CRASH_NAME CORVANEL_STALL_NAME
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for setting in off on; do
    [ "$latency" = both ] || [ "$latency" = "$setting" ] || continue
    if [ "$setting" = on ]; then export CORVANEL_LATENCY=1; else unset CORVANEL_LATENCY; fi
    "$build/wine-run-flows64.sh" "$build/bin/flows_bench64.exe" --compare "${arguments[@]}"
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
done
