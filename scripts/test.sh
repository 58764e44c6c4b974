#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test twice: normal and with
# address + undefined-behaviour sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
status=0
for variant in release asan; do
  echo "=== $variant build ==="
  "$root/scripts/build.sh" "$variant"
  dir="$root/build"; [ "$variant" = asan ] && dir="$root/build-asan"
  echo "=== $variant tests ==="
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 300 || status=1
done
exit $status
