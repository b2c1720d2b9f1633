#!/usr/bin/env bash
# Builds Larkspire Kestravo and runs its command-line front end.
#   ./run.sh          converts the generated demo clips with the default profile
#                     into output/ beside the executable and prints the result table
#   ./run.sh ARGS...  runs kestravo-cli ARGS...
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
build=build-release
./tools/build-release.sh all
cli="$build/stage/kestravo-cli"
if [ $# -gt 0 ]; then
  exec "$cli" "$@"
fi
media="$build/demo-media"
[ -f "$media/avi_mpeg4_mp2.avi" ] || "$build/tools/make_test_media" "$media" >/dev/null
exec "$cli" convert --output "$build/stage/output" "$media/avi_mpeg4_mp2.avi" "$media/mp4_h264_aac.mp4" "$media/mkv_subtitle.mkv"
