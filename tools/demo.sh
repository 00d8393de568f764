#!/usr/bin/env bash
# The first command: prepares the machine, builds the plugin, the reference
# storage engine and the console host, registers the engine in the build's
# end-to-end Wine prefix, and tours a generated sample store.
#   tools/demo.sh                the scripted tour; ends by itself
#   tools/demo.sh --interactive  the console on the same store
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
case "${1:-}" in
""|--interactive) ;;
*) echo "usage: $0 [--interactive]" >&2; exit 2 ;;
esac

"$here/tools/configure.sh"
cmake --build "$build" -j"$(nproc)" --target corvanel corvanel_host e2e_prefix

prefix="$build/wineprefix-e2e"
"$here/tools/wine-prefix.sh" "$prefix" start
trap '"$here/tools/wine-prefix.sh" "$prefix" stop' EXIT
started=$(date +%s%N)
"$here/tools/demo/tour.sh" "$build" ${1:+"$1"}
if [ -z "${1:-}" ]; then
    tenths=$(( ($(date +%s%N) - started) / 100000000 ))
    printf '\nTour finished in %d.%d s. The console on the same store: tools/demo.sh --interactive\n' \
           $((tenths / 10)) $((tenths % 10))
fi
