#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Idempotent: installs only the packages that are missing.
# setup.sh fuzz: also what the libFuzzer harnesses need (scripts/fuzz.sh).
set -euo pipefail
packages=(build-essential cmake ninja-build qt6-base-dev qt6-base-dev-tools libgl-dev
          libgtest-dev libgmock-dev xvfb xauth fonts-dejavu-core procps
          desktop-file-utils appstream clang-format ccache
          qt6-translations-l10n systemd
          chromium chromium-driver python3-selenium openssl
          ser2net socat mosquitto libmosquitto-dev)
# clang with its runtime (libFuzzer, the sanitizers): only for the fuzzers.
fuzz_packages=(clang libclang-rt-dev)
[ "${1:-}" = fuzz ] && packages+=("${fuzz_packages[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# ser2net and mosquitto are peers of the tests, started by them in the foreground on
# 127.0.0.1 at free ports: the system services their packages bring (ser2net's default
# configuration serves /dev/ttyS0..; mosquitto listens on port 1883) are turned off when this
# script installed them. One that was there before is the machine's own (a shop's broker or
# device server) and stays as it is.
for unit in ser2net mosquitto; do
  [[ " ${missing[*]} " == *" $unit "* ]] || continue
  if command -v systemctl >/dev/null && systemctl is-enabled "$unit.service" >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO systemctl disable --now "$unit.service" >/dev/null 2>&1 || true
  fi
done
