#!/usr/bin/env bash
# Line noise for SECONDS (600) into dnc-server --service: NULs, 0xFF, lone CRs, long lines,
# bursts of a megabyte without an end word, binary, stray calls and programs with any name.
# Then a call: it must be answered. Reports the server's largest memory (VmRSS, sampled every
# second), and lists every file written outside the save folder. Usage: bench/noise.sh [s]
set -euo pipefail
seconds=${1:-600}
source "$(dirname "$0")/workspace.sh"
bench_workspace noise
echo "noise: $seconds s in $work"
bench_config noise 0 > "$work/Config.ini"
printf '%%\r\nN10 G0 X0\r\nM30\r\n' > "$work/2507.CNC"
"$root/build/tools/virtual-cnc" --link "$work/.config/dnc-server/ports/COM1" --rate 0 --chunk 4096 \
    --seed 5 --noise "$((seconds * 1000))" --wait 2000 --call 2507 --receive "$work/answer.txt" \
    --timeout-ms 120000 > "$work/cnc.log" 2>&1 &
cnc=$!
for _ in $(seq 100); do [ -L "$work/.config/dnc-server/ports/COM1" ] && break; sleep 0.1; done
(cd "$work" && exec "$root/build/dnc-server" --service) \
    2> "$work/journal.txt" &
server=$!
trap 'kill $cnc $server 2>/dev/null || true' EXIT
peak=0
while kill -0 "$cnc" 2>/dev/null; do
    now=$(awk '/VmRSS/ {print $2}' "/proc/$server/status" 2>/dev/null || echo 0)
    [ "$now" -gt "$peak" ] && peak=$now
    sleep 1
done
alive=no; kill -0 "$server" 2>/dev/null && alive=yes
kill -TERM "$server" 2>/dev/null; wait "$server" || true
grep "noise" "$work/cnc.log" || true
answered=no
cmp -s "$work/2507.CNC" "$work/answer.txt" && answered=yes
echo "server alive at the end: $alive; call after the noise answered: $answered"
echo "largest server memory (VmRSS): $peak kB"
echo "saved programs: $(ls "$work/save" | wc -l)"
outside=$(cd "$work" && find . -type f ! -path './save/*' ! -path './.config/*' ! -name xxx.tmp \
    ! -name 2507.CNC ! -name answer.txt ! -name Config.ini ! -name cnc.log ! -name journal.txt \
    ! -path ./send/DNC.log)
echo "written outside the save folder and xxx.tmp: ${outside:-nothing}"
[ "$alive" = yes ] && [ "$answered" = yes ] && [ -z "$outside" ]
