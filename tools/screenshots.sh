#!/usr/bin/env bash
# Takes the README's pictures of the application (docs/*.png): the main window with
# generated clips in its list after a batch (at its first size and larger) and with a
# file playing in its preview
# pane, the edit dialog with a marked section, the format settings dialog, the
# progress dialog in the middle of a batch, with one file and with two at a time, and
# the about dialog, on a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
build=build-release
./tools/build-release.sh kestravo kestravo_screenshots make_test_media
media="$build/demo-media"
"$build/tools/make_test_media" "$media" --bench >/dev/null
# Names a person would give their files.
clips="$build/screenshot-clips"
rm -rf "$clips"
mkdir -p "$clips"
cp "$media/avi_mpeg4_mp2.avi" "$clips/Garden party.avi"
cp "$media/mkv_subtitle.mkv" "$clips/Interview with subtitles.mkv"
cp "$media/mp3_tagged.mp3" "$clips/Kestrel song.mp3"
cp "$media/webm_vp8_vorbis.webm" "$clips/Birthday video from the family group chat, June 2026.webm"
cp "$media/bench_720p.mp4" "$clips/Harbour 720p.mp4"
cp "$media/bench_720p.mp4" "$clips/Harbour at dusk 720p.mp4"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/stage/kestravo_screenshots" docs res/kestravo.ini \
  "$clips/Garden party.avi" "$clips/Harbour 720p.mp4" "$clips/Interview with subtitles.mkv" "$clips/Kestrel song.mp3" \
  "$clips/Birthday video from the family group chat, June 2026.webm" \
  "$clips/Harbour at dusk 720p.mp4"
