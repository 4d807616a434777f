#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs every test under CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2
