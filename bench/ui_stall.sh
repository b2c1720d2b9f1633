#!/usr/bin/env bash
# The longest stall of the user-interface thread while the main window converts the
# 20 s 1280 x 720 bench clip with Preview on (target: at most 50 ms), on a virtual
# X server as a desktop would draw it. Not a test: run it by hand on a quiet machine.
#   bench/ui_stall.sh [PROFILE-NAME-PREFIX]     (default "MP4 - H.264 Video")
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
build=build-release
./tools/build-release.sh ui_stall_bench make_test_media
media="$build/bench/media"
"$build/tools/make_test_media" "$media" --bench >/dev/null
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/bench/ui_stall_bench" res/kestravo.ini "$media/bench_720p.mp4" "${1:-MP4 - H.264 Video}"
