#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs every test under CTest: first the plain
# build (build/, or $BUILD_DIR), then, once that passes, the whole suite again under
# ThreadSanitizer (build-tsan/) and under AddressSanitizer with UndefinedBehaviorSanitizer
# (build-asan/). SANITIZERS chooses those passes: "thread address" by default, "" for none.
# Last, the fuzzing harnesses (clang's libFuzzer, build-fuzz/) each run FUZZ_SECONDS (20 by
# default; 0 skips them) from the seed corpus in tests/fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers=${SANITIZERS-thread address}
for s in $sanitizers; do
  case $s in
    thread | address) ;;
    *) echo "test.sh: unknown sanitizer '$s' in SANITIZERS (thread, address)" >&2; exit 2 ;;
  esac
done

summaries=()
failed=0

# run_pass NAME BUILD_DIR [CMAKE_ARGS...]: builds into BUILD_DIR and runs every test there
# (CTEST_ARGS: further ctest arguments for this pass).
run_pass() {
  local name=$1 dir=$2
  shift 2
  local start=$SECONDS log
  echo "=== $name: build in $dir"
  BUILD_DIR=$dir bash scripts/build.sh "$@"
  echo "=== $name: tests"
  log=$(mktemp)
  local status=0
  # shellcheck disable=SC2086
  ctest --test-dir "$dir" --output-on-failure -j2 ${CTEST_ARGS:-} 2>&1 | tee "$log" || status=$?
  local summary
  summary=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1 || true)
  rm -f "$log"
  summaries+=("$name: ${summary:-no summary from ctest} ($((SECONDS - start)) s)")
  if [ "$status" -ne 0 ]; then
    failed=1
  fi
}

report() {
  echo "=== summary"
  printf '%s\n' "${summaries[@]}"
}

run_pass plain "${BUILD_DIR:-build}"
# Sanitizer reports on top of failing tests would only add noise and time.
if [ "$failed" -ne 0 ]; then
  [ -z "$sanitizers" ] || echo "=== sanitizer passes skipped: the plain pass failed"
  report
  exit 1
fi

for s in $sanitizers; do
  case $s in
    # Programs with windows are left out: Qt's raster engine paints on its own thread pool,
    # which the sanitizer cannot see into (see tests/CMakeLists.txt).
    thread) CTEST_ARGS="-LE gui" run_pass ThreadSanitizer build-tsan -DDIELO_SANITIZER=thread \
                      -DDIELO_BUILD_BENCH=OFF ;;
    address) run_pass AddressSanitizer+UBSan build-asan -DDIELO_SANITIZER=address \
                      -DDIELO_BUILD_BENCH=OFF ;;
  esac
done
# run_fuzz: builds the harnesses with clang and runs each from a copy of its seed corpus; a
# crash, a hang (10 s per input) or memory beyond 2 GiB fails the pass.
run_fuzz() {
  local start=$SECONDS status=0 dir=build-fuzz
  echo "=== fuzzing: build in $dir"
  CC=clang CXX=clang++ BUILD_DIR=$dir bash scripts/build.sh -DDIELO_FUZZ=ON \
    -DDIELO_SANITIZER=address -DDIELO_BUILD_TESTS=OFF -DDIELO_BUILD_BENCH=OFF
  local summary=()
  for pair in inifile:ini samplerecord:sample telnetline:telnet logreader:log; do
    local name=${pair%%:*} corpus=${pair##*:} work log
    work=$(mktemp -d)
    log=$(mktemp)
    cp tests/fuzz/corpus/"$corpus"/* "$work"/
    if "$dir/tests/fuzz/fuzz_$name" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$work" >"$log" 2>&1; then
      summary+=("$name $(grep -o 'number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') inputs")
    else
      tail -n 40 "$log"
      summary+=("$name FAILED")
      status=1
    fi
    rm -rf "$work" "$log"
  done
  summaries+=("fuzzing: ${summary[*]} ($((SECONDS - start)) s)")
  [ "$status" -eq 0 ] || failed=1
}

FUZZ_SECONDS=${FUZZ_SECONDS-20}
if [ "$FUZZ_SECONDS" != 0 ]; then
  run_fuzz
fi
report
exit "$failed"
