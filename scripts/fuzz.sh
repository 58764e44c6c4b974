#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, address + undefined-behaviour sanitizers) in
# build-fuzz/ and runs each in turn, one at a time at low priority:
#   fuzz.sh [seconds] [harness...]      default: 600 s each, every harness
# Harnesses: settings-text config ini transfer-rules textfile http telnet-stream. Seeds are
# read from fuzz/corpus/<harness>/; what a run adds goes to build-fuzz/corpus/<harness>/, a
# crash to build-fuzz/artifacts/<harness>/. Not part of scripts/test.sh or CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
[ $# -gt 0 ] && shift
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] ||
  harnesses=(settings-text config ini transfer-rules textfile http telnet-stream)

"$root/scripts/setup.sh" fuzz
dir="$root/build-fuzz"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDNC_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${harnesses[@]/#/fuzz-}"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
summary=()
status=0
for h in "${harnesses[@]}"; do
    corpus="$dir/corpus/$h"
    artifacts="$dir/artifacts/$h"
    log="$dir/fuzz-$h.log"
    mkdir -p "$corpus" "$artifacts"
    echo "=== fuzz-$h: $seconds s (log: $log)"
    result=ok
    # The first folder takes the new inputs; the committed seeds stay as they are.
    nice -n 19 "$dir/fuzz/fuzz-$h" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus/$h" >"$log" 2>&1 ||
        { result=FAILED; status=1; }
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    [ -n "$done_line" ] || done_line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9A-Za-z]*\).*/\1/p' <<<"$done_line")
    [ "$result" = ok ] || grep -E 'ERROR|runtime error|property broken|Test unit written' "$log" || true
    summary+=("$(printf '%-15s %-7s runs %-11s exec/s %-7s cov %-5s ft %-6s corpus %s' \
        "$h" "$result" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")")
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
