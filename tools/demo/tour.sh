#!/usr/bin/env bash
# Runs the console host on a generated sample store in the end-to-end Wine
# prefix of a configured and built build directory.
#   tour.sh BUILD_DIR               the scripted tour (demo/tour.txt); a fresh store
#   tour.sh BUILD_DIR --interactive the console on the same store (made if missing)
# The sample store and the local folder live in $CORVANEL_DEMO_DIR, by default
# BUILD_DIR/demo. CORVANEL_EDITION=64 runs the 64-bit console host with
# corvanel.wfx64 in the 64-bit prefix instead. The prefix's wineserver is the
# caller's to run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mode=${2:-tour}
demo=${CORVANEL_DEMO_DIR:-$build/demo}

# Random bytes of the given size in KiB.
fill() { head -c "$(( $2 * 1024 ))" /dev/urandom >"$1"; }

make_sample_store() {
    rm -rf "$demo"
    mkdir -p "$demo/store/work/photos/2009" "$demo/store/work/reports" \
             "$demo/store/family" "$demo/local"
    fill "$demo/store/work/photos/2009/beach.jpg" 96
    fill "$demo/store/work/photos/2009/harbour.jpg" 128
    fill "$demo/store/work/photos/sunset.jpg" 210
    printf 'Quarterly figures\r\n' >"$demo/store/work/reports/q1.txt"
    fill "$demo/local/holiday.mp4" 6144
}

if [ "$mode" = --interactive ]; then
    [ -d "$demo/store" ] || make_sample_store
else
    make_sample_store
fi

# Wine's drive Z: is the Unix root.
export CORVANEL_STORE="Z:${demo//\//\\}\\store"
# Each 256 KiB chunk of a transfer waits this long, so progress is visible.
export CORVANEL_THROTTLE_MS=${CORVANEL_THROTTLE_MS:-40}
run="$build/wine-run-e2e.sh" host="$build/bin/corvanel_host.exe"
if [ "${CORVANEL_EDITION:-32}" = 64 ]; then
    run="$build/wine-run-e2e64.sh" host="$build/bin/corvanel_host64.exe"
fi
cd "$demo/local"
if [ "$mode" = --interactive ]; then
    exec "$run" "$host"
fi
exec "$run" "$host" --script "Z:${here//\//\\}\\tour.txt"
