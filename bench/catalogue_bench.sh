#!/usr/bin/env bash
# Today's catalogue on a 20 s 1280 x 720 clip of a panned landscape (bench_720p_scene.mp4,
# made to look like a camera's film), in two parts. Not a test: run it by hand, on a
# quiet machine for figures worth comparing.
#  1. Every profile from index 24 on with its selected entries, as shipped: wall and CPU
#     seconds (user + system), the wall time against the clip's length (at most 2 for
#     the AV1 and HEVC defaults on two cores), the output's size and peak memory.
#  2. Quality per bit: the H.264, HEVC, AV1 and VP9 profiles at the same bit rates (their
#     "N kbps" entries selected), each output's size and its luma PSNR against the
#     source (bench/psnr.cpp), so that equal sizes compare in picture quality.
#   bench/catalogue_bench.sh [BUILD] [CLIP]   (default build-release, made by ./run.sh;
#                                             CLIP a bench clip's name)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
[ -x "$build/stage/kestravo-cli" ] || { echo "build first: ./run.sh --help" >&2; exit 1; }
work="$build/bench-catalogue"
source bench/common.sh
prepare_bench_folder
g++ -std=c++20 -O2 -o "$work/psnr" bench/psnr.cpp $(pkg-config --cflags --libs libavformat libavcodec libavutil libswscale)
# The shipped catalogue beside the front end.
cp "$build/stage/kestravo.ini" "$work/kestravo.ini"
ln -sfn "$PWD/$build/stage/Lib" "$work/Lib"
clip="$work/media/${2:-bench_720p_scene.mp4}"
length=20

# Prints "wall cpu peak_kB" of one whole-process run.
wall_cpu_peak() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" ||
    { cat "$work/stderr.txt" >&2; echo "failed: $*" >&2; exit 1; }
  awk '{print $1, $2 + $3, $4}' "$work/time.txt"
}

profile_name() {
  "$work/kestravo-cli" profiles | awk -v i="$1" '{j = $1; sub(/^\*/, "", j)} j == i {
    $1 = ""; $2 = ""; $NF = ""; sub(/^  */, ""); sub(/ *$/, ""); print }'
}

# Selects ENTRY of KEY's list in profile INDEX of the bench's catalogue.
select_entry() {
  local index=$1 key=$2 entry=$3
  awk -v section="[Format$index]" -v key="$key" -v entry="$entry" '
    /^\[/ { inside = ($0 == section) }
    inside && index($0, key "=") == 1 {
      n = split(substr($0, length(key) + 2), list, ",")
      for (k = 1; k <= n; ++k) if (list[k] == entry) chosen = k - 1
    }
    inside && index($0, key "Value=") == 1 && chosen != "" { $0 = key "Value=" chosen }
    { print }
    END { if (chosen == "") { print "no entry " entry " in " section > "/dev/stderr"; exit 1 } }
  ' "$work/kestravo.ini" >"$work/kestravo.ini.new"
  mv "$work/kestravo.ini.new" "$work/kestravo.ini"
}

# Converts the clip with profile INDEX; prints "wall cpu peak size output".
convert_with() {
  rm -f "$work/out/"*
  local figures
  figures=$(wall_cpu_peak "$work/kestravo-cli" convert --profile "$1" --output "$work/out" "$clip")
  local output
  output=$(ls "$work/out/"*)
  echo "$figures $(stat -c %s "$output") $output"
}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); clip $(basename "$clip"), ${length} s"
echo "1. profiles as shipped: wall, CPU (user + system), wall / length, size, peak memory"
"$work/kestravo-cli" profiles | awk '/^[ *][0-9]/ {i = $1; sub(/^\*/, "", i); if (i + 0 >= 24) print i}' |
  while read -r index; do
    read -r wall cpu peak size _ < <(convert_with "$index")
    awk -v i="$index" -v n="$(profile_name "$index")" -v t="$wall" -v c="$cpu" -v s="$size" -v l="$length" \
      -v m="$peak" 'BEGIN {
      printf "  %2d %-54.54s %6.1f s wall %6.1f s CPU %5.2f x length %9d bytes  peak %d kB\n", i, n, t, c, t / l, s, m }'
  done
echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "2. the same bit rate in each codec: size, kb/s of the whole file (sound included), luma PSNR (mean of the pictures, worst picture)"
for rate in 1000 2500; do
  for index in 24 25 27 29; do
    select_entry "$index" VideoBitRate "$rate kbps"
    read -r wall cpu _ size output < <(convert_with "$index")
    read -r pictures mean worst < <("$work/psnr" "$clip" "$output")
    awk -v r="$rate" -v n="$(profile_name "$index")" -v t="$wall" -v c="$cpu" -v s="$size" -v l="$length" \
      -v p="$pictures" -v m="$mean" -v w="$worst" 'BEGIN {
      printf "  %4d kbps %-40.40s %9d bytes %5.0f kb/s  PSNR %6.2f dB (worst %5.2f, %d pictures)  %5.1f s wall %5.1f s CPU\n",
        r, n, s, s * 8 / l / 1000, m, w, p, t, c }'
  done
done
echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
