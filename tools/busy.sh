#!/usr/bin/env bash
# Keeps every core busy, to try the tests on a busy machine:
#   tools/busy.sh SECONDS            # for that long
#   tools/busy.sh COMMAND [ARG...]   # while the command runs; its exit status
# One stress-ng worker per core at normal priority; the load average goes to
# standard error when the load starts and when it ends.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/bootstrap.sh" --busy

if [ $# -eq 0 ]; then
    sed -n '2,6s/^# \{0,1\}//p' "$0" >&2
    exit 2
fi
workers=$(nproc)
echo "busy.sh: $workers workers; $(uptime)" >&2
if [[ $# -eq 1 && $1 =~ ^[0-9]+$ ]]; then
    stress-ng --cpu "$workers" --timeout "$1" --quiet
    echo "busy.sh: done; $(uptime)" >&2
    exit 0
fi
stress-ng --cpu "$workers" --timeout 0 --quiet &  # 0: until stopped
load=$!
trap 'kill -INT "$load" 2>/dev/null || true' EXIT
status=0
"$@" || status=$?
kill -INT "$load" 2>/dev/null || true
wait "$load" || true
trap - EXIT
echo "busy.sh: done; $(uptime)" >&2
exit "$status"
