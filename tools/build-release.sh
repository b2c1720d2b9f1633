#!/usr/bin/env bash
# Builds the given targets of the release tree build-release/ (no tests), showing
# the build's log only when it fails. Used by the scripts that run the application.
#   tools/build-release.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
log="$build.log"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF &&
       cmake --build "$build" --target "$@"; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
