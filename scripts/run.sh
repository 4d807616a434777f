#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
exec "${BUILD_DIR:-build}/app/dielometer" "$@"
