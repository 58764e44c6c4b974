#!/usr/bin/env bash
# Soak: ROUNDS (1000) calls and as many saved programs, alternating, between the virtual CNC
# and dnc-server --service over a pseudo-terminal. The CNC writes at 115200 bit/s in pieces of
# random size (1 to 200 bytes) and reads answers back; every 15 s the server's dwell is set to
# a random 0..50 ms (SIGHUP rereads Config.ini). At the end: every answer and every saved
# program byte for byte, the log's entries counted and in order, the server's memory at the
# start and at the end. Usage: bench/soak.sh [rounds]   (not part of the tests)
set -euo pipefail
rounds=${1:-1000}
source "$(dirname "$0")/workspace.sh"
bench_workspace soak
echo "soak: $rounds rounds in $work"
config() { bench_config soak "$1"; }
config 0 > "$work/Config.ini"
# Ten programs of 20 to 200 lines to call.
for n in $(seq 1000 1009); do
    {
        printf '%%\r\n'
        for k in $(seq $(( (n - 995) * 15 ))); do printf 'N%d G1 X%d.%03d Y%d F1200\r\n' $((k*10)) $((RANDOM % 500)) $((RANDOM % 1000)) "$n"; done
        printf 'M30\r\n'
    } > "$work/$n.CNC"
done

"$root/build/tools/virtual-cnc" --link "$work/.config/dnc-server/ports/COM1" --rate 115200 \
    --chunk 1 --chunk-max 200 --seed 11 --idle-ms 10000 --timeout-ms 120000 \
    --soak "$rounds:$work" > "$work/cnc.log" 2>&1 &
cnc=$!
for _ in $(seq 100); do [ -L "$work/.config/dnc-server/ports/COM1" ] && break; sleep 0.1; done
(cd "$work" && exec "$root/build/dnc-server" --service) \
    2> "$work/journal.txt" &
server=$!
trap 'kill $cnc $server 2>/dev/null || true' EXIT
rss() { awk '/VmRSS/ {print $2}' "/proc/$server/status"; }
sleep 5
first=$(rss)
start=$(date +%s)
while kill -0 "$cnc" 2>/dev/null; do
    sleep 15
    dwell=$((RANDOM % 51))
    config "$dwell" > "$work/Config.ini"
    kill -HUP "$server"
done
wait "$cnc" && cnc_status=0 || cnc_status=$?
last=$(rss)
kill -TERM "$server"; wait "$server" || true
elapsed=$(( $(date +%s) - start ))

bad=0
for r in $(seq "$rounds"); do
    if ! cmp -s <(cat "$work/sent/S$r.nc"; printf '\r\n') "$work/save/S$r.CNC"; then
        echo "saved program S$r differs or is missing"; bad=$((bad + 1))
    fi
done
sent=$(grep -a -c ' gesendete PRG Nr = ' "$work/send/DNC.log" || true)
saved=$(grep -a -c '/S[0-9]*\.CNC PRG Nr = ' "$work/send/DNC.log" || true)
numbers=$(grep -a -o 'PRG Nr = [0-9]*' "$work/send/DNC.log" | awk '{print $4}' | tr '\n' ' ')
expected=$(seq -s ' ' 1 $((2 * rounds)))
in_order=no; [ "$numbers" = "$expected " ] && in_order=yes
tail -n 1 "$work/cnc.log"
echo "saved programs that differ: $bad of $rounds"
echo "log: $sent sent, $saved saved, numbered 1..$((2 * rounds)) in order: $in_order"
echo "other log entries:"; grep -a -v -E 'PRG Nr = ' "$work/send/DNC.log" | sed 's/^/  /'
grep -q ' gesendete PRG Nr' "$work/send/DNC.log"
echo "server memory (VmRSS): ${first} kB after 5 s, ${last} kB at the end; ${elapsed} s"
[ "$cnc_status" -eq 0 ] && [ "$bad" -eq 0 ] && [ "$sent" -eq "$rounds" ] && [ "$saved" -eq "$rounds" ] && [ "$in_order" = yes ]
