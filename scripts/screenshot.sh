#!/usr/bin/env bash
# Takes the README's screenshot of the main window under Xvfb: docs/main-window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
for p in x11-apps imagemagick; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    ${SUDO:-$( [ "$(id -u)" -eq 0 ] || echo sudo )} apt-get install -y -q "$p" >/dev/null
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of the program in a folder of its own, so that it starts with default settings.
cp "${BUILD_DIR:-build}/sim/dielometer-sim" "$work/dielometer"
cat > "$work/shot.sh" <<'SHOT'
cd "$1"
./dielometer & pid=$!
sleep 3
xwd -root -silent > root.xwd
kill -TERM "$pid"; wait "$pid"
SHOT
xvfb-run -a -s "-screen 0 1024x820x24" bash "$work/shot.sh" "$work"
/usr/bin/convert "$work/root.xwd" -crop 700x800+270+40 +repage docs/main-window.png
echo "docs/main-window.png"
