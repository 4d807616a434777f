#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and starts the program on a virtual USB bus with
# two virtual meters (the demo program). build/app/dielometer is the program for real meters.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec "${BUILD_DIR:-build}/sim/dielometer-sim" "$@"
