#!/usr/bin/env bash
# Makes a Debian machine ready to build and test the plugin: the i686 and
# x86_64 mingw-w64 cross toolchains, 32-bit and 64-bit Wine, CMake, Ninja,
# GoogleTest's sources, an X server for the tests that show windows, and what
# the real-host walks need (tools/real-host/). With --busy, also what
# tools/busy.sh needs to load the machine (stress-ng).
# Idempotent: when everything is present it only checks and exits.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for pkg in cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 \
           g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
           googletest wine wine32:i386 wine64 zip unzip python3 clang libclang-rt-14-dev xvfb; do
    have_pkg "$pkg" || need+=("$pkg")
done
# The real-host walks, when there is a Double Commander source to build:
# Free Pascal and Lazarus to build it, an X server, keys, pictures and the
# clipboard to walk it.
if "$(dirname "$0")/real-host/build.sh" --where >/dev/null 2>&1; then
    for pkg in make fpc fpc-source lazarus-ide lcl-2.2 lcl-units-2.2 lazarus-src-2.2 \
               lcl-utils-2.2 xdotool xclip imagemagick; do
        have_pkg "$pkg" || need+=("$pkg")
    done
fi

if [ "${1:-}" = --busy ]; then
    have_pkg stress-ng || need+=(stress-ng)
fi

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
install() { $SUDO apt-get install -y -qq --no-install-recommends "$@" "${need[@]}" >/dev/null; }
# A mirror caught mid-sync fails an index or two, and what did arrive still
# serves. When the one missing is the security suite's for i386, its amd64
# twin names newer versions than i386 can match and the install breaks:
# the release suites alone then give both architectures the same ones.
for attempt in 1 2 3; do
    $SUDO apt-get update -qq && break
    [ "$attempt" -lt 3 ] && sleep 10
done
if ! install; then
    releases=$(mktemp -d)
    trap 'rm -rf "$releases"' EXIT
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && awk -v RS= -v ORS='\n\n' '!/-security/' "$f" > "$releases/$(basename "$f")"
    done
    [ -f /etc/apt/sources.list ] && grep -v -- '-security' /etc/apt/sources.list > "$releases/releases.list"
    install -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$releases"
fi
