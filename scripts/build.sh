#!/usr/bin/env bash
# Installs what the build needs and builds everything into build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIELO_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j2
