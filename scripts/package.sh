#!/usr/bin/env bash
# Builds the Debian package with CPack (its dependencies found by dpkg-shlibdeps, Debian's
# hardening flags from dpkg-buildflags), then checks it: lintian with no error or warning,
# the files it holds, and that the program in it starts (--version) from the unpacked tree.
# The package (and its -dbgsym package) lands in build-pkg/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
packages=(dpkg-dev file lintian)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

dir="$root/build-pkg"
# All of Debian's hardening (stack protector, fortify, relro with bind-now, PIE); a changed
# flag set needs a fresh configure, the cache would keep the old one.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
rm -f "$dir/CMakeCache.txt"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target dnc-server virtual-cnc dnc-docs
rm -f "$dir"/dnc-server*.deb "$dir"/dnc-server*.ddeb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/dnc-server_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Depends

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
status=0
for f in ./usr/bin/dnc-server ./usr/bin/dnc-virtual-cnc \
         ./usr/share/applications/dnc-server.desktop \
         ./usr/share/icons/hicolor/scalable/apps/dnc-server.svg \
         ./usr/share/icons/hicolor/48x48/apps/dnc-server.png \
         ./usr/share/icons/hicolor/128x128/apps/dnc-server.png \
         ./usr/share/metainfo/de.dnc_server.DncServer.metainfo.xml \
         ./usr/share/man/man1/dnc-server.1.gz ./usr/share/man/man1/dnc-virtual-cnc.1.gz \
         ./usr/share/doc/dnc-server/copyright ./usr/share/doc/dnc-server/changelog.gz \
         ./usr/share/dnc-server/Serial.html \
         "./usr/lib/systemd/system/dnc-server@.service" ./usr/lib/systemd/system/dnc-mqtt.service; do
  if ! grep -qxF "$f" <<<"$listing"; then
    echo "missing in the package: $f" >&2
    status=1
  fi
done
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || { echo "no Qt dependency found" >&2; status=1; }
dpkg-deb -f "$deb" Depends | grep -q libmosquitto1 ||
  { echo "libmosquitto is not among the dependencies" >&2; status=1; }
dpkg-deb -f "$deb" Depends | grep -q qt6-translations-l10n ||
  { echo "Qt's translations are not among the dependencies" >&2; status=1; }

# Debian's policy checks: no error and no warning (informational tags are listed only).
lintian_out=$(lintian --display-info "$deb" 2>&1 || true)
[ -n "$lintian_out" ] && echo "$lintian_out"
if grep -qE '^[EW]: ' <<<"$lintian_out"; then
  echo "lintian: errors or warnings" >&2
  status=1
else
  echo "lintian: no errors, no warnings"
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
version=$("$unpacked/usr/bin/dnc-server" --version)
echo "unpacked program: $version"
[ "$version" = "dnc-server 1.0" ] || status=1
grep -q "ExecStart=/usr/bin/dnc-server --service" "$unpacked/usr/lib/systemd/system/dnc-server@.service" \
  || { echo "the unit does not name /usr/bin/dnc-server" >&2; status=1; }
grep -q "ExecStart=/usr/bin/dnc-server --mqtt" "$unpacked/usr/lib/systemd/system/dnc-mqtt.service" \
  || { echo "the broker's unit does not name /usr/bin/dnc-server" >&2; status=1; }
[ $status -eq 0 ] && echo "package checked: $(basename "$deb")"
exit $status
