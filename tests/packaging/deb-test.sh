#!/usr/bin/env bash
# Makes the Debian package of the build and checks it: it holds every file that cmake --install
# puts into place, its dependencies (computed from the binaries) name Qt 6 and the chart library,
# lintian finds no error, and the demo program runs from the package unpacked into a folder.
set -euo pipefail
build=$1
sanitizer=${2:-}
if [ -n "$sanitizer" ]; then
  echo "a $sanitizer build is not packaged"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >/dev/null
debs=("$work"/out/dielometer_*_*.deb)
deb=${debs[0]}
version=$(sed -n 's/.*BuildVersionText\[\] = "\(.*\)";/\1/p' "$build/generated/BuildVersion.h")
[ "$(basename "$deb")" = "dielometer_${version}_$(dpkg --print-architecture).deb" ] ||
  { echo "unexpected package name $(basename "$deb") for version $version"; status=1; }

# Every file that an install puts into place, and nothing besides.
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/stage" && find . ! -type d | sed 's|^\./|/|' | sort) >"$work/installed"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$work/packaged"
if ! diff "$work/installed" "$work/packaged"; then
  echo "the package differs from what cmake --install puts into place (< installed, > packaged)"
  status=1
fi

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6core6 libqt6widgets6 libqcustomplot; do
  grep -q "$needed" <<<"$depends" || { echo "Depends lacks $needed: $depends"; status=1; }
done

if command -v lintian >/dev/null 2>&1; then
  # CI runs as root, which lintian only remarks on.
  lintian --fail-on error "$deb" 2> >(grep -v "root privileges" >&2) || status=1
else
  echo "lintian not found: the package is not checked"
  status=1
fi

dpkg-deb -x "$deb" "$work/unpacked"
out=$("$work/unpacked/usr/bin/dielometer-sim" --version) || status=1
[ "$out" = "dielometer-sim $version" ] || { echo "--version of the unpacked demo: '$out'"; status=1; }
exit $status
