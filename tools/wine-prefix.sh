#!/usr/bin/env bash
# Manages a build's Wine prefix.
#   wine-prefix.sh PREFIX create   make the prefix once (wineboot), then stamp it
#   wine-prefix.sh PREFIX start [ANCHOR]
#                                  start a persistent wineserver for a test run
#                                  (making the prefix first when it is missing);
#                                  with ANCHOR (desktop_anchor.exe), keep the
#                                  prefix's desktop open until the stop
#   wine-prefix.sh PREFIX stop     stop that prefix's wineserver, and only it
#   wine-prefix.sh PREFIX register DLL
#                                  register a 32-bit in-process COM server
#                                  (regsvr32; in a 64-bit prefix, in the
#                                  registry that 32-bit programs see), making
#                                  the prefix first when it is missing; again
#                                  only when DLL is newer than its last
#                                  registration there
# WINEARCH=win64 in the environment makes a 64-bit prefix; the default is win32.
# Making and registering hold a lock beside the prefix (PREFIX.lock), so that
# callers in parallel (tests, CTest's listing of test cases, scripts) make
# and register once.
set -euo pipefail
prefix=$1 action=$2
export WINEPREFIX="$prefix" WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

create() {
    if [ ! -f "$prefix/.ready" ]; then
        rm -rf "$prefix"
        wineboot --init >/dev/null 2>&1
        wineserver -w
        touch "$prefix/.ready"
    fi
}

register() {
    local dll=$1 stamp
    stamp="$prefix/.registered-$(basename "$dll")"
    create
    if [ -f "$stamp" ] && [ ! "$dll" -nt "$stamp" ]; then
        return 0
    fi
    # A server left by an interrupted test run would keep its desktop anchor
    # and never end for the wait below: it goes first.
    wineserver -k 2>/dev/null || true
    local regsvr32=regsvr32
    [ "$WINEARCH" = win64 ] && regsvr32='C:\windows\syswow64\regsvr32.exe'
    # Wine's drive Z: is the Unix root. Output to /dev/null: Wine's background
    # services inherit it and would keep the caller's pipe open.
    if ! wine "$regsvr32" /s "Z:${dll//\//\\}" </dev/null >/dev/null 2>&1; then
        echo "regsvr32 could not register $dll in $prefix" >&2
        exit 1
    fi
    wineserver -w  # the registry reaches the disk when the server ends
    touch "$stamp"
}

anchor_desktop() {  # starts ANCHOR in the background and waits until it is a desktop user
    local ready="$prefix/.desktop-anchored"
    rm -f "$ready"
    setsid wine "$1" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 300); do
        [ -f "$ready" ] && return 0
        sleep 0.1
    done
    echo "the desktop anchor did not start in $prefix within 30 s" >&2
    exit 1
}

locked() {  # runs "$@" holding the prefix's lock
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        "$@"
    ) 9>"$prefix.lock"
}

case "$action" in
create)
    [ -f "$prefix/.ready" ] || locked create ;;
start)
    [ -f "$prefix/.ready" ] || locked create
    # Replaces any short-lived server of this prefix with one that stays up
    # while tests start processes, and exits by itself once idle.
    wineserver -k 2>/dev/null || true
    wineserver -w
    wineserver -p120 </dev/null >/dev/null 2>&1
    # The first program of a server session starts Wine's background services,
    # which keep their parent's output open: start them here, detached, so
    # no test's output stays open after it ends.
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1
    [ $# -lt 3 ] || anchor_desktop "$3" ;;
stop)
    wineserver -k 2>/dev/null || true ;;
register)
    [ $# -eq 3 ] || { echo "usage: $0 PREFIX register DLL" >&2; exit 2; }
    locked register "$(realpath "$3")" ;;
*)
    echo "usage: $0 PREFIX create|start|stop|register DLL" >&2; exit 2 ;;
esac
