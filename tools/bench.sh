#!/usr/bin/env bash
# Builds the module and the benchmark, then runs the benchmark under Wine in
# the build's prefix; it prints the 32-bit module's own figures of
# docs/benchmarks.md (tools/bench64.sh: the 64-bit edition's against them). Run it while no test run uses the same build: both
# register the engine's ProgID in the prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

[ -f "$build/build.ninja" ] || "$here/tools/configure.sh"
cmake --build "$build" -j2 --target corvanel plugin_bench >/dev/null
"$build/wine-run.sh" "$build/bin/plugin_bench.exe" "$@"
"$here/tools/bench64.sh"
