#!/usr/bin/env bash
# Retakes the README's screenshot: the built logger on a virtual display with a window manager
# (so the caption shows), fed a few status messages, its window captured with the frame.
#
#   tools/screenshot.sh [PROGRAM [PNG]]      default: build/kivlogging docs/screenshot.png
#
# `make screenshot` builds first and installs what this needs: xvfb, xauth, x11-utils,
# openbox, imagemagick. The logger listens on UDP 6177, which must be free.
set -euo pipefail

cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/kivlogging}")
output=$(realpath -m "${2:-docs/screenshot.png}")

if [ -z "${KIV_SCREENSHOT_DISPLAY:-}" ]; then
    exec env KIV_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x700x24" "$0" "$program" "$output"
fi

# 6177 in the hexadecimal port column of /proc/net/udp and udp6.
port_bound() { grep -q ':1821 ' /proc/net/udp /proc/net/udp6 2>/dev/null; }

# Polls `condition` for up to ten seconds.
wait_for() {
    local condition=$1 what=$2
    for _ in $(seq 100); do
        if eval "$condition"; then return 0; fi
        sleep 0.1
    done
    echo "screenshot: timed out waiting for $what" >&2
    return 1
}

if port_bound; then
    echo "screenshot: UDP port 6177 is taken; stop the other logger first" >&2
    exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp "$program" "$work/kivlogging"
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
sqlite3 "$work/Log.mdb" < recording/KIVData.sql

openbox --sm-disable > /dev/null 2>&1 &
pids+=($!)
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' "the window manager"
"$work/kivlogging" &
logger=$!
pids+=("$logger")
wait_for 'port_bound || ! kill -0 $logger 2>/dev/null' "the logger to listen"
kill -0 "$logger"

messages=(
    "Door 3 (loading bay) opened"
    "Door 3 (loading bay) closed"
    "Pump 2: pressure 4.1 bar"
    "UPS room B: on mains"
    "Line 7 paused by operator"
    "Line 7 running"
    "Cold store 1: 3.8 °C"
    "Backup job nightly-db finished, 12.4 GB"
    "Printer 2nd floor: toner low"
    "Gate camera 2 back online"
    "Door 1 (front) opened"
    "Door 1 (front) closed"
    "Compressor 4: service due in 36 h"
    "Pump 2: pressure 4.3 bar"
)
for message in "${messages[@]}"; do
    # The logger drops each datagram's last byte, here the line end, and reads Windows-1252.
    printf '%s\n' "$message" | iconv -f UTF-8 -t CP1252 > /dev/udp/127.0.0.1/6177
done
wait_for "[ \$(grep -c . '$work/mylog.txt' 2>/dev/null || echo 0) -ge ${#messages[@]} ]" \
    "the messages to be logged"

window=""
find_window() {
    window=$(xwininfo -root -tree | awk '/"KIVLogging - / { print $1; exit }')
    [ -n "$window" ] && xwininfo -id "$window" | grep -q 'Map State: IsViewable'
}
wait_for find_window "the window to show the latest message"
# Lets the window repaint after the last message; nothing tells when that is done.
sleep 1
mkdir -p "$(dirname "$output")"
import -window "$window" -frame "$output"
echo "screenshot: wrote $output"
