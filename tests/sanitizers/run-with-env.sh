#!/bin/sh
# Runs a program of a sanitizer build with the options that make every sanitizer report fail
# it. CTest runs each test program through this script, also when it lists a program's tests,
# and so can you:
#   tests/sanitizers/run-with-env.sh thread build-tsan/tests/model/model_tests
# Options already in the environment come after ours and so win.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 address|thread PROGRAM [ARGS...]" >&2
    exit 2
fi
sanitizer=$1
shift
case $sanitizer in
address)
    # verify_asan_link_order=0: umockdev-wrapper preloads its library ahead of the ASan runtime,
    # which is harmless here because that library forwards to the next definition.
    export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    ;;
thread)
    # halt_on_error: the first report ends the program with a failure, before a second report
    # can be drowned in the output of a test that passes.
    export TSAN_OPTIONS="suppressions='$here/tsan.supp':halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    ;;
*)
    echo "$0: unknown sanitizer '$sanitizer' (address or thread)" >&2
    exit 2
    ;;
esac
exec "$@"
