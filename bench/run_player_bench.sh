#!/usr/bin/env bash
# The player's speed in a 400 x 300 window, on a virtual display with the sound
# going to SDL's disk driver in real time, on three 20 s H.264 + AAC clips: 1280 x 720
# at 30 fps (key frames every 0.4 s, and every 10 s: seeks decode up to 10 s to reach
# their target) and 1920 x 1080 at 60 fps. Not a test: run it by hand on a quiet machine.
#   bench/run_player_bench.sh        (builds build-release/bench/player_bench)
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/install-deps.sh
build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF >/dev/null
cmake --build "$build" --target player_bench make_test_media >/dev/null
work="$build/bench"
mkdir -p "$work/media"
"$build/tools/make_test_media" "$work/media" --bench >/dev/null
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
# 1024 samples at 44.1 kHz last 23.2 ms: the disk driver's delay keeps real time.
for clip in bench_720p.mp4 bench_720p_gop10s.mp4 bench_1080p60.mp4; do
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null SDL_DISKAUDIODELAY=23 QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$work/player_bench" "$work/media/$clip" 2> >(grep -v "^ALSA\|disk writer\|Writing to" >&2)
done
echo "machine after: load $(cut -d' ' -f1-3 /proc/loadavg)"
