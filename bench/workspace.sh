# Sourced by the long benches: builds the release tree and makes a working folder for
# dnc-server --service in $work (send/ with an empty log, save/, the port map folder, the
# serial settings). bench_config NAME DWELL prints its Config.ini.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" release >/dev/null
bench_workspace() {
    work=$(mktemp -d "/tmp/dnc-$1.XXXXXX")
    mkdir -p "$work/send" "$work/save" "$work/.config/dnc-server/ports"
    # The server of a bench reads its own home and opens only the ports mapped here.
    export HOME="$work" XDG_CONFIG_HOME="$work/.config" DNC_NO_DEFAULT_PORTS=1
    : > "$work/send/DNC.log"
    printf '[SerBsp1]\r\nConfiguration=%s\r\n' \
        RRS0001074000000204800002048100000170190000160000000400063026010000000000000000000001000108 \
        > "$work/.config/dnc-server/SerDemo.ini"
}
bench_config() {
    printf 'Config.ini=13\r\na\r\nb\r\nc\r\nExt=CNC\r\nLog=DNC\r\nAK=O\r\nEnd=M30\r\nCom=%s\r\n' "$1"
    printf 'PrgAK=Prg\r\nTimer=%s\r\nSend=%s\r\nSave=%s\r\n' "$2" "$work/send" "$work/save"
}
