#!/usr/bin/env bash
# Builds Double Commander for Windows, both editions, from its source into
# BUILD_DIR/real-host (default ./build), for the real-host walks
# (tools/real-host/walk.py):
#   BUILD_DIR/real-host/i386-win32/doublecmd/doublecmd.exe    loads corvanel.wfx
#   BUILD_DIR/real-host/x86_64-win64/doublecmd/doublecmd.exe  loads corvanel.wfx64
# Each edition gets its own Free Pascal tree (a copy of Debian's fpc-source with
# the RTL and packages built for its target, plus a cross compiler to i386 for
# the 32-bit one), its own copy of Lazarus (the LCL's win32 widgetset units are
# built there) and its own unpacked source; the two editions build side by side.
# A finished stage leaves a stamp, so a second run with everything built only
# checks the stamps.
#
# The source: CORVANEL_DOUBLECMD_SOURCE (an archive of, or a checkout of, tag
# v1.1.32), else ../shared/hosts/doublecmd-1.1.32-src.tar.gz beside the
# checkout. Without either it prints why and exits 77 (a skip to CTest).
#   build.sh --where   prints the source it would use (or why none), exit 0 or 77
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$here/build}
root=$build/real-host
skip=77
fpc_version=3.2.2
fpc_source=/usr/share/fpcsrc/$fpc_version
lazarus_install=/usr/lib/lazarus/2.2.6

# Prints the source to use; fails with the reason when there is none.
find_source() {
    local source=${CORVANEL_DOUBLECMD_SOURCE:-$(dirname "$here")/shared/hosts/doublecmd-1.1.32-src.tar.gz}
    if [ ! -e "$source" ]; then
        if [ -n "${CORVANEL_DOUBLECMD_SOURCE:-}" ]; then
            echo "CORVANEL_DOUBLECMD_SOURCE names $source, which does not exist"
        else
            echo "no Double Commander source: neither CORVANEL_DOUBLECMD_SOURCE nor $source"
        fi
        return 1
    fi
    realpath "$source"
}

if ! source=$(find_source); then
    echo "real-host: skipped: $source" >&2
    exit $skip
fi
if [ "${1:-}" = --where ]; then
    echo "$source"
    exit 0
fi

# Runs a stage once: its stamp marks it done. The output goes to a log that is
# shown when the stage fails.
stage() {
    local dir=$1 name=$2
    shift 2
    [ -f "$dir/.done-$name" ] && return 0
    mkdir -p "$dir/logs"
    # In the background so that errexit holds inside the stage: a command
    # tested by "if" or "||" would run its functions without it.
    "$@" >"$dir/logs/$name.log" 2>&1 &
    if ! wait $!; then
        # The compilers' errors first: their notes fill the log's end, and a
        # full disk is a common cause on a crowded machine.
        local log=$dir/logs/$name.log
        echo "real-host: $(basename "$dir"): $name failed; its errors, the free disk and the end of $log:" >&2
        grep -E -i 'error|fatal|no space' "$log" | grep -v 'Note:' | tail -n 12 >&2 || true
        df -h "$dir" | tail -n 1 >&2
        tail -n 12 "$log" >&2
        return 1
    fi
    touch "$dir/.done-$name"
}

# Debian's fpc-source lacks what building the compiler, the RTL and the
# packages from it needs: the Makefiles, the compiler's messages and their
# tables, the CPU include lists of the RTL and the event log resource of
# fcl-base.
copy_fpc_source() {
    local fpc=$1
    rm -rf "$fpc"
    cp -r "$fpc_source" "$fpc"
    for dir in compiler rtl packages; do
        (cd "$fpc/$dir" && fpcmake -Tall -r -q)
    done
    cp -r "/usr/lib/x86_64-linux-gnu/fpc/$fpc_version/msg" "$fpc/compiler/msg"
    printf 'CPUNAMES=i386 math set\nCPUINCNAMES=$(addsuffix .inc,$(CPUNAMES))\n' \
        >"$fpc/rtl/i386/makefile.cpu"
    printf 'CPUNAMES=x86_64 math set\nCPUINCNAMES=$(addsuffix .inc,$(CPUNAMES))\n' \
        >"$fpc/rtl/x86_64/makefile.cpu"
    : >"$fpc/packages/fcl-base/src/win/fclel.res"
    # The compiler's message tables, which the "ide" package compiles in.
    make -C "$fpc/compiler" msg PP=/usr/bin/ppcx64
}

# The RTL is built with no configuration file (-n); the packages' build tool
# is a native program, so that step keeps the system's configuration.
build_rtl() {
    local fpc=$1 cpu=$2 os=$3 compiler=$4
    make -C "$fpc/rtl" all CPU_TARGET="$cpu" OS_TARGET="$os" PP="$compiler" OPT=-n
}
build_packages() {
    local fpc=$1 cpu=$2 os=$3 compiler=$4
    make -C "$fpc/packages" all CPU_TARGET="$cpu" OS_TARGET="$os" PP="$compiler" \
         FPMAKEOPT="-T $(nproc)"
}

# The configuration the Lazarus stage's compiler reads (PPC_CONFIG_PATH): the
# units built above, and the mingw-w64 resource compiler for .rc files.
write_fpc_config() {
    local dir=$1 windres=$2
    cat >"$dir/fpc.cfg" <<EOF
-Fu$dir/fpc/rtl/units/\$fpctarget
-Fu$dir/fpc/packages/*/units/\$fpctarget
-FC$windres
-Sgic
EOF
}

# Lazarus without its IDE binaries, examples and tests.
copy_lazarus() {
    local lazarus=$1
    rm -rf "$lazarus"
    mkdir -p "$lazarus"
    tar -C "$lazarus_install" --exclude=./lazarus-gtk2 --exclude=./startlazarus \
        --exclude=./lazarus --exclude=./examples --exclude=./test --exclude=./units \
        --exclude=./docs -cf - . | tar -C "$lazarus" -xf -
}

unpack_source() {
    local target=$1
    rm -rf "$target"
    mkdir -p "$target"
    if [ -d "$source" ]; then
        cp -r "$source/." "$target"
    else
        tar -C "$target" --strip-components=1 -xzf "$source"
    fi
}

# The file manager's component packages, then the program in its release mode.
build_doublecmd() {
    local dir=$1 compiler=$2 cpu=$3 os=$4
    local lazbuild=(lazbuild --pcp="$dir/lazarus-config" --lazarusdir="$dir/lazarus"
                    --compiler="$compiler" --os="$os" --cpu="$cpu" --ws=win32)
    export PPC_CONFIG_PATH=$dir
    cd "$dir/doublecmd"
    for package in chsdet/chsdet.lpk multithreadprocs/multithreadprocslaz.lpk \
                   kascrypt/kascrypt.lpk doublecmd/doublecmd_common.lpk Image32/Image32.lpk \
                   KASToolBar/kascomp.lpk viewer/viewerpackage.lpk gifanim/pkg_gifanim.lpk \
                   synunihighlighter/synuni.lpk virtualterminal/virtualterminal.lpk; do
        "${lazbuild[@]}" "components/$package"
    done
    "${lazbuild[@]}" src/doublecmd.lpi --bm=release
    test -f doublecmd.exe
}

# One edition, start to end. The source stamp names the source it was built
# from: another source unpacks and builds the file manager again.
build_edition() {
    local cpu=$1 os=$2 windres=$3
    local dir=$root/$cpu-$os compiler=/usr/bin/ppcx64
    local started=$SECONDS
    mkdir -p "$dir"
    stage "$dir" fpc-source copy_fpc_source "$dir/fpc"
    if [ "$cpu" = i386 ]; then
        stage "$dir" compiler make -C "$dir/fpc/compiler" i386 PP=/usr/bin/ppcx64
        compiler=$dir/fpc/compiler/ppc386
    fi
    stage "$dir" rtl build_rtl "$dir/fpc" "$cpu" "$os" "$compiler"
    stage "$dir" packages build_packages "$dir/fpc" "$cpu" "$os" "$compiler"
    write_fpc_config "$dir" "$windres"
    stage "$dir" lazarus copy_lazarus "$dir/lazarus"
    local identity
    identity="$source $(stat -c '%s %Y' "$source")"
    if [ "$(cat "$dir/source" 2>/dev/null)" != "$identity" ]; then
        rm -f "$dir/.done-doublecmd-source" "$dir/.done-doublecmd"
        stage "$dir" doublecmd-source unpack_source "$dir/doublecmd"
        echo "$identity" >"$dir/source"
    fi
    stage "$dir" doublecmd build_doublecmd "$dir" "$compiler" "$cpu" "$os"
    echo "real-host: $cpu-$os: $dir/doublecmd/doublecmd.exe ($((SECONDS - started)) s)"
}

mkdir -p "$root"
exec 9>"$root/.lock"
flock 9  # one build at a time; a second caller waits and then finds it done
started=$SECONDS
build_edition i386 win32 i686-w64-mingw32-windres &
first=$!
build_edition x86_64 win64 x86_64-w64-mingw32-windres &
second=$!
status=0
wait $first || status=1
wait $second || status=1
[ $status -eq 0 ] && echo "real-host: both editions ready ($((SECONDS - started)) s)"
exit $status
