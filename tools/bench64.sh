#!/usr/bin/env bash
# The two editions side by side on one engine: builds corvanel.wfx,
# corvanel.wfx64, the helper, both sides of tests/bench/edition_bench.cpp and
# the benchmark engine, registers that engine in the build's benchmark prefix
# (a win64 prefix of its own, build/wineprefix64-bench), then runs the
# comparison under Wine with a persistent wineserver of that prefix, stopped
# again at the end. It prints the 64-bit edition's figures of
# docs/benchmarks.md. Arguments go to the benchmark: --rounds N.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
prefix=$build/wineprefix64-bench

[ -f "$build/build.ninja" ] || "$here/tools/configure.sh"
cmake --build "$build" -j2 \
      --target corvanel corvanel_helper edition64 edition_bench corvanel_bench_engine >/dev/null
WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" register "$build/bin/corvanel_bench_engine.dll"
WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" start
trap 'WINEARCH=win64 "$here/tools/wine-prefix.sh" "$prefix" stop' EXIT
"$build/wine-run-bench64.sh" "$build/bin/edition_bench64.exe" "$@"
