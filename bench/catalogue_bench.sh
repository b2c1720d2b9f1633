#!/usr/bin/env bash
# Wall time and size of each profile of today's catalogue on the 20 s 1280 x 720 bench
# clip, with the shipped catalogue and its selected entries; the ratio of the time to
# the clip's length (target <= 2 for the AV1 and HEVC defaults on two cores). Not a
# test: run it by hand, on a quiet machine for figures worth comparing.
#   bench/catalogue_bench.sh [BUILD]     (default build-release, made by ./run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
[ -x "$build/stage/kestravo-cli" ] || { echo "build first: ./run.sh --help" >&2; exit 1; }
work="$build/bench-catalogue"
source bench/common.sh
prepare_bench_folder
# The shipped catalogue beside the front end.
cp "$build/stage/kestravo.ini" "$work/kestravo.ini"
ln -sfn "$PWD/$build/stage/Lib" "$work/Lib"
clip="$work/media/bench_720p.mp4"
length=20
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); clip $(basename "$clip"), ${length} s"
"$work/kestravo-cli" profiles | awk '/^[ *][0-9]/ {i = $1; sub(/^\*/, "", i); if (i + 0 >= 24) print i}' |
  while read -r index; do
    name=$("$work/kestravo-cli" profiles | awk -v i="$index" '{j = $1; sub(/^\*/, "", j)} j == i {
      $1 = ""; $2 = ""; sub(/^  */, ""); print }')
    rm -f "$work/out/"*
    read -r t m < <(measure "$work/kestravo-cli" convert --profile "$index" --output "$work/out" "$clip")
    size=$(du -b "$work/out/"* | awk '{s += $1} END {print s}')
    awk -v n="$name" -v t="$t" -v s="$size" -v l="$length" -v m="$m" 'BEGIN {
      printf "  %-62s %7.1f s  %5.2f x length  %9d bytes  peak %d kB\n", n, t, t / l, s, m }'
  done
