#!/usr/bin/env bash
# Fuzzes the host-path parser natively with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer.
#   tools/fuzz.sh                 fuzz for 60 seconds
#   tools/fuzz.sh --seconds N     fuzz for N seconds
#   tools/fuzz.sh --runs N        stop after N inputs (the test command's short pass)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_DIR:-$here/build/fuzz}
limit=(-max_total_time=60)
case "${1:-}" in
--seconds) limit=(-max_total_time="$2") ;;
--runs) limit=(-runs="$2") ;;
"") ;;
*) echo "usage: $0 [--seconds N | --runs N]" >&2; exit 2 ;;
esac

mkdir -p "$out/corpus"
binary="$out/path_fuzz"
sources=("$here/path/remote_path.cpp" "$here/tests/fuzz/path_fuzz.cpp")
headers=("$here/path" "$here/tests/support/path_model.h")
if [ ! -x "$binary" ] || [ -n "$(find "${sources[@]}" "${headers[@]}" -newer "$binary" -print -quit)" ]; then
    clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
            -I"$here" "${sources[@]}" -o "$binary"
fi
# New inputs go to the build's corpus; the committed seeds are only read.
status=0
"$binary" "${limit[@]}" -max_len=1200 -print_final_stats=1 -artifact_prefix="$out/" \
          "$out/corpus" "$here/tests/fuzz/corpus/path" >"$out/last.log" 2>&1 || status=$?
grep -E "^(Done|stat::number_of_executed_units)|ERROR|SUMMARY|Test unit written" "$out/last.log" || true
exit "$status"
