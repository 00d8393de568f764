#!/usr/bin/env bash
# Runs a command with an X server of its own: Xvfb on a display it picks free
# itself, ended with the command. For test programs that need real windows
# under Wine (a message box of the engine's, say): without a display Wine
# makes no window, and a message box returns at once.
set -euo pipefail
ready=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$ready"' EXIT
for _ in $(seq 100); do
    [ -s "$ready" ] && break
    sleep 0.1
done
display=$(tr -dc '0-9' <"$ready")
if [ -z "$display" ]; then
    echo "with-display.sh: Xvfb did not start" >&2
    exit 1
fi
status=0
DISPLAY=":$display" "$@" || status=$?
exit "$status"
