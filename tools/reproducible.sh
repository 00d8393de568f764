#!/usr/bin/env bash
# Builds the released files (corvanel.wfx, corvanel.wfx64, corvanel_helper.exe
# and corvanel-wfx.zip) twice, in two fresh build folders of different names,
# one after the other, and compares them: each must have the same SHA-256 in
# both. Both builds run with no Wine program on PATH. Prints the sums; exits
# 1 when a file differs. The folders are removed afterwards unless
# --keep is given.
#   tools/reproducible.sh [--keep]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
keep=""
case "${1:-}" in
"") ;;
--keep) keep=1 ;;
*) echo "usage: $0 [--keep]" >&2; exit 2 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/corvanel-reproducible.XXXXXX")
if [ -z "$keep" ]; then
    trap 'rm -rf "$work"' EXIT
fi

# A PATH without Wine: every program of the current PATH but wine*.
bin="$work/bin-without-wine"
mkdir -p "$bin"
IFS=: read -r -a path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
    [ -d "$dir" ] || continue
    for program in "$dir"/*; do
        name=${program##*/}
        case "$name" in wine*) continue ;; esac
        [ -e "$bin/$name" ] || ln -s "$program" "$bin/$name"
    done
done

released=(bin/corvanel.wfx bin/corvanel.wfx64 bin/corvanel_helper.exe corvanel-wfx.zip)
# Folder names of different lengths, so a path that leaks shows.
for build in "$work/first" "$work/the-second-build"; do
    PATH="$bin" cmake -S "$here" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-mingw.cmake" \
        -DCORVANEL_EDITION64_TARGETS=corvanel64 >/dev/null
    PATH="$bin" cmake --build "$build" -j"$(nproc)" \
        --target corvanel corvanel_helper corvanel_zip >/dev/null
    (cd "$build" && sha256sum "${released[@]}") >"$build.sha256"
done

cat "$work/first.sha256"
if ! diff "$work/first.sha256" "$work/the-second-build.sha256" >/dev/null; then
    echo "differs from the second build:" >&2
    diff "$work/first.sha256" "$work/the-second-build.sha256" >&2 || true
    exit 1
fi
echo "the second build's files are identical"
