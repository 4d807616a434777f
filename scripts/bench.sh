#!/usr/bin/env bash
# Builds and runs every benchmark in bench/; each prints its figures as "name = value" lines.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
shopt -s nullglob
benches=("${BUILD_DIR:-build}"/bench/bench_*)
if [ ${#benches[@]} -eq 0 ]; then
  echo "no benchmarks yet"
fi
for bench in "${benches[@]}"; do
  # Only the programs, not CMake's folders of the same prefix.
  if [ -f "$bench" ] && [ -x "$bench" ]; then
    "$bench"
  fi
done
