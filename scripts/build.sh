#!/usr/bin/env bash
# Configures and builds one variant: build.sh [release|asan] [target...]
# (default: every target, the tests and benches included).
set -euo pipefail
variant=${1:-release}
[ $# -gt 0 ] && shift
targets=()
for t in "$@"; do targets+=(--target "$t"); done
root=$(cd "$(dirname "$0")/.." && pwd)
case "$variant" in
  release) dir="$root/build"; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir="$root/build-asan"; opts=(-DCMAKE_BUILD_TYPE=Debug -DDNC_SANITIZE=ON) ;;
  *) echo "unknown variant $variant" >&2; exit 2 ;;
esac
# ccache, when present, lets rebuilds and other work trees of the repo reuse compiled objects.
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(dirname "$root")}" CCACHE_NOHASHDIR=1
  opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# CI sets DNC_WERROR=1: warnings fail its build; a normal build keeps them warnings.
opts+=(-DDNC_WERROR="$([ "${DNC_WERROR:-0}" = 1 ] && echo ON || echo OFF)")
cmake -S "$root" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
