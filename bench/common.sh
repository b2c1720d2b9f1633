# Shared by the benchmark scripts (sourced): their work folder, the catalogue of the
# workloads, the floor program and the figures of a run. Expects $build and $work.

# The bench's catalogue: H.264 + AAC in MP4 and MPEG-4 + MP3 in AVI, both 640 x 360,
# and a tiny MPEG-4 + WAV in AVI for batches of many files.
write_bench_catalogue() {
  cat >"$1" <<'INI'
[Format]
Count=3
[Format0]
Name=Bench H.264
Ext=.mp4
Category=1
Resolution=640*360
Framerate=Keep original frame rate
VideoEncoder=H.264
VideoBitRate=1000 kbps
SampleRate=44100 Hz
AudioBitrate=128 kbps
AudioEncoder=AAC
Channel=2 Channels Stereo
Volume=256
[Format1]
Name=Bench MPEG-4
Ext=.avi
Category=1
Resolution=640*360
Framerate=Keep original frame rate
VideoEncoder=MPEG4
VideoBitRate=1000 kbps
SampleRate=44100 Hz
AudioBitrate=128 kbps
AudioEncoder=MP3 Audio
Channel=2 Channels Stereo
Volume=256
[Format2]
Name=Bench tiny
Ext=.avi
Category=1
Resolution=64*48
Framerate=Keep original frame rate
VideoEncoder=MPEG4
VideoBitRate=50 kbps
SampleRate=8000 Hz
AudioBitrate=128 kbps
AudioEncoder=WAV
Channel=1 Channel Mono
Volume=256
[Output]
Format=0
INI
  sed -i 's/^\(Resolution\|Framerate\|VideoEncoder\|VideoBitRate\|SampleRate\|AudioBitrate\|AudioEncoder\|Channel\)=.*/&\n\1Value=0/' "$1"
}

# An empty output folder, the bench clips and a copy of the front end, which reads the
# catalogue beside itself.
prepare_bench_folder() {
  rm -rf "$work/out"
  mkdir -p "$work/out" "$work/media"
  "$build/tools/make_test_media" "$work/media" --bench >/dev/null
  cp "$build/stage/kestravo-cli" "$work/kestravo-cli"
}

# The folder above with the bench catalogue and the floor program.
prepare_bench_work() {
  prepare_bench_folder
  write_bench_catalogue "$work/kestravo.ini"
  build_floor
}

build_floor() {
  g++ -std=c++20 -O2 -o "$work/floor" bench/floor.cpp \
    $(pkg-config --cflags --libs libavformat libavcodec libavutil libswscale libswresample)
}

# Prints "seconds kilobytes" of one whole-process run.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; echo "failed: $*" >&2; exit 1; }
  cat "$work/time.txt"
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# Prints the CPU seconds (user + system) of one whole-process run.
cpu_seconds() {
  /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; echo "failed: $*" >&2; exit 1; }
  awk '{print $1 + $2}' "$work/time.txt"
}
# CPU seconds of the floor converting $1 to H.264 + AAC on one thread, as the bench's
# first profile does: the measure of the ideal.
floor_h264_cpu_seconds() {
  cpu_seconds "$work/floor" "$1" "$work/out/floor.mp4" libx264 aac 640 360 1000000 128000 1
}
