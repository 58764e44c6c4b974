#!/usr/bin/env bash
# Sets up, builds and starts the server on the bundled demo workspace, with the virtual CNC
# on the other end of its port: the CNC calls programs 2507 and 1001, receives them, and
# sends back a program that the server saves under save/TEIL<n>.CNC.
#
# The run happens in demo/run/ (a fresh copy of demo/workspace/, removed at the next run):
#   Config.ini, 2507.CNC, 1001.CNC, Prg.CNC   the server's working directory
#   send/DNC-Protokoll.log                   the log
#   save/                                    programs received from the CNC
#   cnc/received/                            what the CNC received
#   config/dnc-server/ports/COM1             link to the virtual CNC's pseudo-terminal
#   home/                                    the server's home folder
#   virtual-cnc.log                          what the CNC did
# Environment: DEMO_SECONDS=n ends the server after n seconds (unattended runs).
# Without a display the server runs under xvfb-run (or offscreen when that is missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Only what the demo runs: the server and the virtual CNC (the tests are test.sh's).
"$root/scripts/build.sh" release dnc-server virtual-cnc

run="$root/demo/run"
rm -rf "$run"
mkdir -p "$run"
cp -r "$root/demo/workspace/." "$run/"

# A home of its own, and only the mapped COM1: the demo never reaches a device of the machine.
export HOME="$run/home" XDG_CONFIG_HOME="$run/config" DNC_NO_DEFAULT_PORTS=1
mkdir -p "$HOME"
ports="$XDG_CONFIG_HOME/dnc-server/ports"
mkdir -p "$ports"
# COM1, 4800 bit/s, 8 data bits, no parity, 1 stop bit, RTS/CTS.
printf '[SerBsp1]\r\nConfiguration=%s\r\n' \
    RRS0001074000000204800002048100000170190000160000000400063026010000000000000000000001000108 \
    > "$XDG_CONFIG_HOME/dnc-server/SerDemo.ini"

"$root/build/tools/virtual-cnc" --link "$ports/COM1" --rate 4800 --chunk 64 \
    --prg-ak Prg --ak O --interval-ms 4000 --idle-ms 8000 --demo "$run/cnc" \
    > "$run/virtual-cnc.log" 2>&1 &
cnc=$!
trap 'kill "$cnc" 2>/dev/null || true; wait "$cnc" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -L "$ports/COM1" ] && break
    kill -0 "$cnc" 2>/dev/null || { cat "$run/virtual-cnc.log" >&2; exit 1; }
    sleep 0.1
done

runner=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    if command -v xvfb-run >/dev/null; then
        echo "No display: running under xvfb-run (the window is not visible)."
        runner=(xvfb-run -a)
    else
        echo "No display and no xvfb-run: running offscreen (the window is not visible)."
        export QT_QPA_PLATFORM=offscreen
    fi
fi
[ -n "${DEMO_SECONDS:-}" ] && runner=(timeout "$DEMO_SECONDS" "${runner[@]}")

echo "Demo folder: $run (the CNC's side: $run/virtual-cnc.log)"
cd "$run"
status=0
"${runner[@]}" "$root/build/dnc-server" "$@" || status=$?
# timeout's 124 is the planned end of an unattended run.
[ "$status" -eq 124 ] && [ -n "${DEMO_SECONDS:-}" ] && status=0
exit "$status"
