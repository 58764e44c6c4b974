#!/usr/bin/env bash
# Formats the C++ sources with the repo's .clang-format; --check only lists the files that
# do not match and fails if there are any (the CI gate).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tool=$(command -v clang-format || command -v clang-format-14 || true)
if [ -z "$tool" ]; then
  echo "format.sh: clang-format is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  bad=()
  for f in "${files[@]}"; do
    "$tool" --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    echo "not formatted (run scripts/format.sh):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files match .clang-format"
else
  "$tool" -i "${files[@]}"
fi
