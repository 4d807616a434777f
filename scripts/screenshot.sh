#!/usr/bin/env bash
# Takes the README's screenshot under Xvfb: the demo program in a fast-mode run with two
# virtual meters, its capacitance chart zoomed in time with the mouse wheel: docs/main-window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
for p in x11-apps imagemagick xdotool; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    ${SUDO:-$( [ "$(id -u)" -eq 0 ] || echo sudo )} apt-get install -y -q "$p" >/dev/null
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A settings file of its own, so that the program starts with these settings only: fast mode at
# 20.0 ms and a log file, so that Start runs at once.
program=$(realpath "${BUILD_DIR:-build}/sim/dielometer-sim")
cat > "$work/Settings.ini" <<INI
[Measurement]
FastMode=1
FastModeInterval=2
Logfile=$work/demo.txt
INI
cat > "$work/shot.sh" <<'SHOT'
cd "$1"
"$2" --settings "$1/Settings.ini" & pid=$!
for _ in $(seq 50); do
  wid=$(xdotool search --name "Dielo Meter" 2>/dev/null | head -n 1) && [ -n "$wid" ] && break
  sleep 0.2
done
sleep 2
# Start, in the settings panel's top left corner.
xdotool mousemove --window "$wid" 55 56 click 1
sleep 12
# Shift and the wheel over the capacitance chart zoom its time axis in around the pointer.
xdotool mousemove --window "$wid" 420 260 keydown shift click 4 click 4 click 4 keyup shift
sleep 3
xwd -root -silent > root.xwd
kill -TERM "$pid"; wait "$pid"
SHOT
xvfb-run -a -s "-screen 0 1024x820x24" bash "$work/shot.sh" "$work" "$program"
/usr/bin/convert "$work/root.xwd" -crop 700x800+270+40 +repage docs/main-window.png
echo "docs/main-window.png"
