#!/usr/bin/env bash
# Installs the build into a staging folder and checks that every file a desktop needs is there
# and that the desktop entry and the metainfo validate.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
id=org.dielometer.DieloMeter
status=0
for f in bin/dielometer bin/dielometer-sim \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/icons/hicolor/128x128/apps/$id.png \
         lib/udev/rules.d/70-dielometer.rules share/doc/dielometer/udev/70-dielometer-group.rules; do
  if [ ! -e "$stage/usr/$f" ]; then
    echo "missing: /usr/$f"
    status=1
  fi
done
desktop-file-validate "$stage/usr/share/applications/$id.desktop" || status=1
appstreamcli validate --no-net --pedantic "$stage/usr/share/metainfo/$id.metainfo.xml" || status=1
grep -q 'TAG+="uaccess"' "$stage/usr/lib/udev/rules.d/70-dielometer.rules" || status=1
exit $status
