#!/usr/bin/env bash
# The time a saved list of 1000 files takes to come back into the main window
# (target: under 1 s). Not a test: run it by hand on a quiet machine.
#   bench/saved_list.sh [FILES]      (default 1000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
./tools/build-release.sh saved_list_bench
QT_QPA_PLATFORM=offscreen "$build/bench/saved_list_bench" res/kestravo.ini "${1:-1000}"
