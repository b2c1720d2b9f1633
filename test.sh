#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:suppressions=$PWD/tests/asan.supp"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
cd "$build"
# Tests that need a real display (the player draws into an X window) find one here;
# the others run on Qt's offscreen platform.
exec xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@"
