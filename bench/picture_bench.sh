#!/usr/bin/env bash
# What the picture corrections cost: a 20 s 1080p HDR clip tone-mapped to 720p H.264
# against its SDR twin (the same 10-bit HEVC pictures tagged BT.709), a turned 720p
# phone clip against its twin stored upright (the same pictures as shown, both put
# into the landscape frame), and an interlaced 576-line recording against its
# progressive twin. Whole-process time of kestravo-cli convert, median
# of RUNS. Not a test: run it by hand on a quiet machine.
#   bench/picture_bench.sh [RUNS]        (default 3; needs build-release from ./run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
build=build-release
[ -x "$build/stage/kestravo-cli" ] || { echo "build first: ./run.sh --help" >&2; exit 1; }
work="$build/bench-picture"
source bench/common.sh
prepare_bench_folder
# One H.264 + AAC profile of the given frame size as section NUMBER.
h264_profile() {
  cat <<INI
[Format$1]
Name=Bench $2 H.264
Ext=.mp4
Category=1
Resolution=$3
Framerate=Keep original frame rate
VideoEncoder=H.264
VideoBitRate=2000 kbps
SampleRate=44100 Hz
AudioBitrate=128 kbps
AudioEncoder=AAC
Channel=2 Channels Stereo
Volume=256
INI
}
{
  printf '[Format]\nCount=2\n'
  h264_profile 0 720p 1280*720
  h264_profile 1 576p 720*576
  printf '[Output]\nFormat=0\n'
} >"$work/kestravo.ini"
sed -i 's/^\(Resolution\|Framerate\|VideoEncoder\|VideoBitRate\|SampleRate\|AudioBitrate\|AudioEncoder\|Channel\)=.*/&\n\1Value=0/' \
  "$work/kestravo.ini"

time_of() {   # profile clip
  local t=()
  for ((i = 0; i < runs; i++)); do
    rm -f "$work/out/"*
    read -r s m < <(measure "$work/kestravo-cli" convert --profile "$1" --output "$work/out" "$work/media/$2")
    t+=("$s")
  done
  printf '%s\n' "${t[@]}" | median
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
compare() {   # name profile clip twin target
  local a b
  a=$(time_of "$2" "$3")
  b=$(time_of "$2" "$4")
  awk -v n="$1" -v a="$a" -v b="$b" -v limit="$5" 'BEGIN {
    printf "  %-14s %.2f s, twin %.2f s, ratio %.3f (target <= %s)\n", n, a, b, a / b, limit }'
}
compare "tone mapping" 0 bench_1080p_pq.mkv bench_1080p_sdr10.mkv 1.5
compare "rotation" 0 bench_720p_turn.mp4 bench_720p_portrait.mp4 1.10
compare "deinterlacing" 1 bench_576i.ts bench_576p.ts 1.10
