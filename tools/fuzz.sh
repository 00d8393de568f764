#!/usr/bin/env bash
# Fuzzes the plugin's parsers natively with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the host-path parser (target path) or the
# bridge's wire format, as both sides decode it (target protocol).
#   tools/fuzz.sh                 fuzz the path parser for 60 seconds
#   tools/fuzz.sh --target T      fuzz target T: path or protocol
#   tools/fuzz.sh --seconds N     fuzz for N seconds
#   tools/fuzz.sh --runs N        stop after N inputs (the test command's short pass)
#   tools/fuzz.sh --target protocol --write-seeds DIR
#                                 write the protocol's seeds (one message of each kind)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_DIR:-$here/build/fuzz}
usage="usage: $0 [--target path|protocol] [--seconds N | --runs N | --write-seeds DIR]"
target=path
limit=(-max_total_time=60)
seeds_to=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
    case "$1" in
    --target) target=$2 ;;
    --seconds) limit=(-max_total_time="$2") ;;
    --runs) limit=(-runs="$2") ;;
    --write-seeds) seeds_to=$2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
    shift 2
done

case "$target" in
path)
    sources=("$here/path/remote_path.cpp" "$here/tests/fuzz/path_fuzz.cpp")
    headers=("$here/path" "$here/tests/support/path_model.h")
    max_len=1200 ;;
protocol)
    sources=("$here/bridge/protocol.cpp" "$here/tests/fuzz/protocol_fuzz.cpp")
    headers=("$here/bridge/protocol.h")
    # Room for long texts and a batch of some dozens of records.
    max_len=16384 ;;
*) echo "$usage" >&2; exit 2 ;;
esac

mkdir -p "$out/$target"
build() {  # binary, sources...: rebuilt when any source or header is newer
    local binary=$1 flags=$2
    shift 2
    if [ ! -x "$binary" ] || [ -n "$(find "$@" "${headers[@]}" -newer "$binary" -print -quit)" ]; then
        # shellcheck disable=SC2086
        clang++ -std=c++17 -O1 -g $flags -fno-sanitize-recover=all -I"$here" "$@" -o "$binary"
    fi
}

if [ -n "$seeds_to" ]; then
    [ "$target" = protocol ] || { echo "only the protocol's seeds are generated" >&2; exit 2; }
    build "$out/protocol_seeds" "-fsanitize=address,undefined" \
          "$here/bridge/protocol.cpp" "$here/tests/fuzz/protocol_seeds.cpp"
    mkdir -p "$seeds_to"
    exec "$out/protocol_seeds" "$seeds_to"
fi

binary="$out/${target}_fuzz"
build "$binary" "-fsanitize=fuzzer,address,undefined" "${sources[@]}"
# New inputs go to the build's corpus; the committed seeds are only read.
log="$out/$target.log"
status=0
"$binary" "${limit[@]}" -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$out/$target-" \
          "$out/$target" "$here/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
grep -E "^(Done|stat::number_of_executed_units)|ERROR|SUMMARY|Test unit written" "$log" || true
exit "$status"
