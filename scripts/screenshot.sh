#!/usr/bin/env bash
# Starts the connector under Xvfb against the demo provider, waits until it has drawn its window
# and logged the address report, photographs the screen, cuts out the window and saves it.
# Prints the path of the picture.
#
# Usage: scripts/screenshot.sh [VPN_PROGRAM] [OUTPUT_PNG]
#   VPN_PROGRAM  the built program (default build/release/app/vpn)
#   OUTPUT_PNG   where to save the picture (default docs/screenshot.png)
# Needs Xvfb and ImageMagick (scripts/install-deps.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
vpn=$(realpath "${1:-$root/build/release/app/vpn}")
output=${2:-$root/docs/screenshot.png}
[[ -x $vpn ]] || { echo "screenshot: no program at $vpn (build the 'vpn' target first)" >&2; exit 1; }

# The screen the window is centred on; no window manager runs, so the window has no frame.
screen_width=800
screen_height=600
window_width=318
window_height=351

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $2 tenths of a second for file $1 to hold something.
wait_for_file() {
    local tries=$2
    until [[ -s $1 ]]; do
        ((tries-- > 0)) || return 1
        sleep 0.1
    done
}

/usr/bin/python3 "$root/scripts/demo_provider.py" --port 0 --port-file "$work/port" \
    >"$work/provider.log" 2>&1 &
pids+=($!)
wait_for_file "$work/port" 100 || { echo "screenshot: the demo provider did not start" >&2; cat "$work/provider.log" >&2; exit 1; }
base_url="http://127.0.0.1:$(<"$work/port")"

# Xvfb picks a free display number itself and writes it to the given descriptor when ready.
Xvfb -displayfd 3 -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp \
    3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for_file "$work/display" 100 || { echo "screenshot: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(<"$work/display")"

VPN_REPORT_FIRST_PAINT=1 "$vpn" --lookup-url "$base_url/ip2city.asp" \
    --directory-url "$base_url/server.txt" >"$work/vpn.log" 2>&1 &
pids+=($!)
tries=100
until grep -q "first paint" "$work/vpn.log"; do
    ((tries-- > 0)) || { echo "screenshot: the window did not appear" >&2; cat "$work/vpn.log" >&2; exit 1; }
    sleep 0.1
done
# The address report comes from loopback within milliseconds; leave it time to be drawn.
sleep 2

import -window root "$work/screen.png"
left=$(((screen_width - window_width) / 2))
top=$(((screen_height - window_height) / 2))
mkdir -p "$(dirname "$output")"
convert "$work/screen.png" -crop "${window_width}x${window_height}+${left}+${top}" +repage \
    -strip "$output"
realpath "$output"
