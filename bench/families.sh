#!/usr/bin/env bash
# A shop's mix of controls under load: INSTANCES (64) dnc-server --service instances, each with
# a virtual CNC of one control family (fanuc, haas, heidenhain, sinumerik, okuma in turn) on a
# pseudo-terminal, for SECONDS (60). Each CNC calls a program and checks the answer, then
# punches a program of its family (every third round a punch-all: program, subprogram,
# program), writing at 38400 bit/s in pieces of random size (1 to 200 bytes). The servers name
# programs as their controls do (Namen=Programm) and send with each family's line end. At the
# end: every answer whole, every punched program saved whole under its own name, nothing kept
# as incomplete. Usage: bench/families.sh [instances] [seconds]   (not part of the tests)
set -euo pipefail
instances=${1:-64}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release dnc-server virtual-cnc >/dev/null
families=(fanuc haas heidenhain sinumerik okuma)
base=$(mktemp -d /tmp/dnc-families.XXXXXX)
echo "families: $instances instances for $seconds s in $base"
export DNC_NO_DEFAULT_PORTS=1
pids=()
cncs=()
for i in $(seq "$instances"); do
    family=${families[$(((i - 1) % ${#families[@]}))]}
    work="$base/$i-$family"
    mkdir -p "$work/send" "$work/save" "$work/.config/dnc-server/ports"
    : > "$work/send/DNC.log"
    printf '[SerBsp1]\r\nConfiguration=%s\r\n' \
        RRS0001074000000204800002048100000170190000160000000400063026010000000000000000000001000108 \
        > "$work/.config/dnc-server/SerDemo.ini"
    case $family in fanuc | sinumerik) end=LF ;; *) end=CRLF ;; esac
    {
        printf 'Config.ini=16\r\na\r\nb\r\nc\r\nExt=CNC\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\n'
        printf 'Com=%s\r\nPrgAK=Prg\r\nTimer=10\r\nSend=%s\r\nSave=%s\r\n' "$family" \
            "$work/send" "$work/save"
        printf 'Ruhezeit=5\r\nNamen=Programm\r\nZeilenende=%s\r\n' "$end"
    } > "$work/Config.ini"
    # Three programs to call, as the server holds them.
    for n in 1000 1001 1002; do
        {
            printf '%%\r\n'
            for k in $(seq $(((n - 995) * 10))); do printf 'N%d G1 X%d Y%d F800\r\n' $((k * 10)) $((RANDOM % 500)) "$n"; done
            printf 'M30\r\n'
        } > "$work/$n.CNC"
    done
    if [ "$family" = heidenhain ]; then
        for n in 1000 1001 1002; do
            printf '0 BEGIN PGM %d MM\r\n1 L Z+100 R0 FMAX\r\n2 END PGM %d MM\r\n' "$n" "$n" > "$work/$n.CNC"
        done
    fi
    HOME="$work" XDG_CONFIG_HOME="$work/.config" "$root/build/tools/virtual-cnc" \
        --link "$work/.config/dnc-server/ports/COM1" --control "$family" --rate 38400 \
        --chunk 1 --chunk-max 200 --seed "$i" --idle-ms 20000 --timeout-ms 120000 \
        --soak-ms $((seconds * 1000)) --await-open --soak "0:$work" > "$work/cnc.log" 2>&1 &
    cncs+=($!)
done
for i in $(seq "$instances"); do
    work=$(ls -d "$base/$i-"*)
    for _ in $(seq 100); do [ -L "$work/.config/dnc-server/ports/COM1" ] && break; sleep 0.1; done
    (cd "$work" && HOME="$work" XDG_CONFIG_HOME="$work/.config" \
        exec "$root/build/dnc-server" --service) 2> "$work/journal.txt" &
    pids+=($!)
done
trap 'kill "${cncs[@]}" "${pids[@]}" 2>/dev/null || true' EXIT
start=$(date +%s)
sleep $((seconds / 2))
load=$(cut -d' ' -f1-3 /proc/loadavg)
failed_cncs=0
for c in "${cncs[@]}"; do wait "$c" || failed_cncs=$((failed_cncs + 1)); done
elapsed=$(($(date +%s) - start))
sleep 2  # the last program's trailer time
kill -TERM "${pids[@]}" 2>/dev/null || true
wait "${pids[@]}" 2>/dev/null || true

calls=0 whole=0 programs=0 saved=0 bad=0 incomplete=0
for work in "$base"/*/; do
    answers=$(grep -a -o 'soak done: [0-9]* answers whole, [0-9]* not' "$work/cnc.log" || echo 'soak done: 0 answers whole, 1 not')
    good=$(echo "$answers" | awk '{print $3}')
    notgood=$(echo "$answers" | awk '{print $6}')
    calls=$((calls + good + notgood))
    whole=$((whole + good))
    for sent in "$work"/sent/*; do
        [ -e "$sent" ] || continue
        name=$(basename "$sent")
        case $name in answer-*) continue ;; esac
        programs=$((programs + 1))
        if cmp -s <(cat "$sent"; printf '\r\n') "$work/save/$name"; then
            saved=$((saved + 1))
        else
            bad=$((bad + 1))
            echo "$(basename "$work"): $name differs or is missing"
        fi
    done
    [ -d "$work/unvollstaendig" ] && incomplete=$((incomplete + $(ls "$work/unvollstaendig" | wc -l)))
done
echo "load average at half time: $load; $elapsed s"
echo "calls: $whole of $calls answered whole ($failed_cncs CNCs ended with an error)"
echo "programs: $saved of $programs saved whole under their own names, $bad not; $incomplete incomplete"
[ "$whole" -eq "$calls" ] && [ "$bad" -eq 0 ] && [ "$incomplete" -eq 0 ] && [ "$failed_cncs" -eq 0 ]
