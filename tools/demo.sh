#!/usr/bin/env bash
# The first command: prepares the machine, builds the plugin, the reference
# storage engine and the console host, registers the engine in the build's
# end-to-end Wine prefix, and tours a generated sample store.
#   tools/demo.sh                the scripted tour; ends by itself
#   tools/demo.sh --interactive  the console on the same store
# CORVANEL_EDITION=64 runs either through the 64-bit console host and
# corvanel.wfx64 in a 64-bit prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
case "${1:-}" in
""|--interactive) ;;
*) echo "usage: $0 [--interactive]" >&2; exit 2 ;;
esac

"$here/tools/configure.sh"
if [ "${CORVANEL_EDITION:-32}" = 64 ]; then
    cmake --build "$build" -j"$(nproc)" --target corvanel corvanel_helper edition64 corvanel_engine
    prefix="$build/wineprefix64-e2e"
    export WINEARCH=win64
else
    cmake --build "$build" -j"$(nproc)" --target corvanel corvanel_host corvanel_engine
    prefix="$build/wineprefix-e2e"
fi
# Makes the prefix when it is missing and registers the engine in it.
"$here/tools/wine-prefix.sh" "$prefix" register "$build/bin/corvanel_engine.dll"
"$here/tools/wine-prefix.sh" "$prefix" start
trap '"$here/tools/wine-prefix.sh" "$prefix" stop' EXIT
started=$(date +%s%N)
"$here/tools/demo/tour.sh" "$build" ${1:+"$1"}
if [ -z "${1:-}" ]; then
    tenths=$(( ($(date +%s%N) - started) / 100000000 ))
    printf '\nTour finished in %d.%d s. The console on the same store: tools/demo.sh --interactive\n' \
           $((tenths / 10)) $((tenths % 10))
fi
