#!/usr/bin/env bash
# Makes the Debian package: a release build with Debian's hardening flags into build-release/ (or
# $BUILD_DIR), then cpack. Prints the package's path, dielometer_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build_dir=${BUILD_DIR:-build-release}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DDIELO_BUILD_TESTS=OFF -DDIELO_BUILD_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
      -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build_dir" -j2
(cd "$build_dir" && cpack -G DEB >/dev/null)
ls "$build_dir"/dielometer_*.deb
