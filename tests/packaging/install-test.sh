#!/usr/bin/env bash
# Installs the build into a staging folder and checks that every file a desktop needs is there,
# that the desktop entry and the metainfo validate, and that the user service runs the installed
# program and passes systemd's own check.
set -euo pipefail
build=$1
# The build's sanitizer, if any: its programs then run only in the tests, with its options.
sanitizer=${2:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
id=org.dielometer.DieloMeter
status=0
for f in bin/dielometer bin/dielometer-sim \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/applications/$id.LogViewer.desktop share/mime/packages/dielometer-log.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/icons/hicolor/128x128/apps/$id.png \
         lib/udev/rules.d/70-dielometer.rules share/doc/dielometer/udev/70-dielometer-group.rules \
         lib/systemd/user/dielometer-headless.service share/doc/dielometer/user-guide.md \
         lib/dielometer/dielometer-window.so lib/dielometer/dielometer-sim-window.so; do
  if [ ! -e "$stage/usr/$f" ]; then
    echo "missing: /usr/$f"
    status=1
  fi
done
desktop-file-validate "$stage/usr/share/applications/$id.desktop" || status=1
desktop-file-validate "$stage/usr/share/applications/$id.LogViewer.desktop" || status=1
# The MIME package builds into a database, as the package manager's trigger does.
if command -v update-mime-database >/dev/null 2>&1; then
  update-mime-database "$stage/usr/share/mime" || status=1
else
  echo "update-mime-database not found: the MIME type is not checked"
fi
appstreamcli validate --no-net --pedantic "$stage/usr/share/metainfo/$id.metainfo.xml" || status=1
grep -q 'TAG+="uaccess"' "$stage/usr/lib/udev/rules.d/70-dielometer.rules" || status=1

# The prefix is chosen at install time, so the service must name the program and guide below it.
unit=$stage/usr/lib/systemd/user/dielometer-headless.service
for line in 'ExecStart=/usr/bin/dielometer --headless --start' \
            'Documentation=file:/usr/share/doc/dielometer/user-guide.md'; do
  grep -qxF "$line" "$unit" 2>/dev/null || { echo "no line '$line' in $unit"; status=1; }
done
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze not found: the user service is not verified"
elif [ -f "$unit" ]; then
  # verify wants the program to exist: check a copy that starts the staged one. Unknown keys and
  # bad values only give warnings, so any output fails too. The user manager needs a runtime
  # folder, which a container lacks.
  check=$stage/check
  mkdir -p "$check/run"
  sed "s|^ExecStart=/usr/|ExecStart=$stage/usr/|" "$unit" >"$check/dielometer-headless.service"
  if ! out=$(XDG_RUNTIME_DIR="$check/run" systemd-analyze --user verify \
               "$check/dielometer-headless.service" 2>&1) || [ -n "$out" ]; then
    echo "systemd-analyze verify: ${out:-failed}"
    status=1
  fi
fi

# The installed programs run from where they were put, with and without a window: the window's
# module is found beside the libraries. A window that cannot load its module ends at once with 1;
# one that runs closes on SIGTERM with 0.
if [ -n "$sanitizer" ]; then
  echo "a $sanitizer build: the installed programs are not run here"
  exit $status
fi
sim=$stage/usr/bin/dielometer-sim
settings=$stage/check-settings.ini
printf '[Telnet]\nPort=0\n' >"$settings"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$sim" --headless --settings "$settings" \
    --start --duration 0.5 --log "$stage/check-run.txt" 2>/dev/null ||
  { echo "the installed demo program did not run without a window"; status=1; }
QT_QPA_PLATFORM=offscreen "$sim" --settings "$settings" 2>/dev/null &
window=$!
sleep 2
kill -TERM $window 2>/dev/null || true
wait $window || { echo "the installed demo program did not show its window"; status=1; }
# The window of past runs alone, on the log just written: still open after two seconds.
QT_QPA_PLATFORM=offscreen "$sim" --view "$stage/check-run.txt" 2>/dev/null &
viewer=$!
sleep 2
if kill -0 $viewer 2>/dev/null; then
  kill -TERM $viewer
  wait $viewer || true
else
  echo "the installed demo program did not show a log"
  status=1
fi
exit $status
