#!/usr/bin/env bash
# Sets up, builds and starts the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
exec "$root/build/engine/dnc-server" "$@"
