#!/usr/bin/env bash
# Builds Larkspire Kestravo and runs it.
#   ./run.sh          with a display (DISPLAY or WAYLAND_DISPLAY set): opens the
#                     desktop application with the generated demo clips in its list;
#                     without one: converts the demo clips with the default profile
#                     into output/ beside the executable, prints the result table and
#                     says how to open the window
#   ./run.sh ARGS...  runs kestravo-cli ARGS...
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
build=build-release
./tools/build-release.sh all
stage="$build/stage"
if [ $# -gt 0 ]; then
  exec "$stage/kestravo-cli" "$@"
fi
media="$build/demo-media"
[ -f "$media/avi_mpeg4_mp2.avi" ] || "$build/tools/make_test_media" "$media" >/dev/null
clips=("$media/avi_mpeg4_mp2.avi" "$media/mp4_h264_aac.mp4" "$media/mkv_subtitle.mkv")
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$stage/kestravo" "${clips[@]}"
fi
"$stage/kestravo-cli" convert --output "$stage/output" "${clips[@]}"
echo
echo "No display found (DISPLAY and WAYLAND_DISPLAY are not set), so the demo ran on the"
echo "command line. To open the window, run ./run.sh from a desktop session, or start"
echo "$stage/kestravo yourself."
