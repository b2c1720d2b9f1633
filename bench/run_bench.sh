#!/usr/bin/env bash
# Whole-process time and peak memory of kestravo-cli convert against bench/floor.cpp,
# the shortest decode -> scale -> encode -> mux loop on the same libraries; four files
# with --jobs 2 against --jobs 1 and against the ideal (4 x the floor's single-thread
# CPU seconds for one file / cores). Each on an 8-bit 4:2:0 and a 10-bit 4:4:4 clip:
# the floor always encodes 4:2:0, so an engine that passed the source's format on
# would show here. And a batch of 1000 files within 1024 open files. Not a test: run
# it by hand on a quiet machine.
#   bench/run_bench.sh [RUNS]        (default 5; needs build-release from ./run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
build=build-release
[ -x "$build/stage/kestravo-cli" ] || { echo "build first: ./run.sh --help" >&2; exit 1; }
work="$build/bench"
source bench/common.sh
prepare_bench_work

cores=$(nproc)
echo "machine: $cores cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for entry in "bench_720p.mp4|8-bit 4:2:0" "bench_720p_444p10.mkv|10-bit 4:4:4"; do
  clip="$work/media/${entry%%|*}"
  echo "clip ${entry#*|}: $(basename "$clip")"
  # The last two words: the time and memory targets against the floor. H.264 has its
  # pictures decoded, scaled and encoded on stages of their own beside the packet loop.
  for w in "0 libx264 aac mp4 0.80 1.3" "1 mpeg4 libmp3lame avi 1.05 1.5"; do
    set -- $w
    et=(); em=(); ft=(); fm=()
    for ((i = 0; i < runs; i++)); do
      rm -f "$work/out/"*
      read -r t m < <(measure "$work/kestravo-cli" convert --profile "$1" --output "$work/out" "$clip")
      et+=("$t"); em+=("$m")
      read -r t m < <(measure "$work/floor" "$clip" "$work/out/floor.$4" "$2" "$3" 640 360 1000000 128000 0)
      ft+=("$t"); fm+=("$m")
    done
    e_t=$(printf '%s\n' "${et[@]}" | median); f_t=$(printf '%s\n' "${ft[@]}" | median)
    e_m=$(printf '%s\n' "${em[@]}" | median); f_m=$(printf '%s\n' "${fm[@]}" | median)
    awk -v n="$2+$3" -v et="$e_t" -v ft="$f_t" -v em="$e_m" -v fm="$f_m" -v tt="$5" -v tm="$6" 'BEGIN {
      printf "  %-18s time engine %.2f s floor %.2f s ratio %.3f (target <= %s)\n", n, et, ft, et / ft, tt
      printf "  %-18s peak memory engine %d kB floor %d kB ratio %.3f (target <= %s)\n", n, em, fm, em / fm, tm }'
  done

  files=()
  for i in 1 2 3 4; do
    copy="$work/media/jobs_$i.${clip##*.}"
    cp "$clip" "$copy"
    files+=("$copy")
  done
  j1=(); j2=(); fc=()
  for ((i = 0; i < runs; i++)); do
    rm -f "$work/out/"*
    read -r t m < <(measure "$work/kestravo-cli" convert --profile 0 --jobs 1 --output "$work/out" "${files[@]}")
    j1+=("$t")
    rm -f "$work/out/"*
    read -r t m < <(measure "$work/kestravo-cli" convert --profile 0 --jobs 2 --output "$work/out" "${files[@]}")
    j2+=("$t")
    fc+=("$(floor_h264_cpu_seconds "$clip")")
  done
  awk -v a="$(printf '%s\n' "${j1[@]}" | median)" -v b="$(printf '%s\n' "${j2[@]}" | median)" \
      -v c="$(printf '%s\n' "${fc[@]}" | median)" -v n="$cores" 'BEGIN {
    ideal = 4 * c / n
    printf "  four files: --jobs 1 %.2f s, --jobs 2 %.2f s, speed-up %.2f (target >= 1.7 on 2 cores)\n", a, b, a / b
    printf "  four files --jobs 2 %.2f s, ideal %.2f s (4 x %.2f CPU s / %d cores), ratio %.2f (target <= 1.1)\n", b, ideal, c, n, b / ideal }'
  rm -f "${files[@]}"
done

# A thousand files (copies of one tiny clip: a list takes each file once) with the
# 1024 open files of a desktop session: every file converts, and the batch's peak
# memory is one file's plus at most 250 MB (a queued or finished task holds at most
# 0.25 MB).
many="$work/many"
rm -rf "$many"
mkdir -p "$many"
for ((i = 0; i < 1000; i++)); do cp "$work/media/tiny_64x48.avi" "$many/t$(printf %04d "$i").avi"; done
desktop() { ulimit -n 1024; exec "$@"; }
export -f desktop
rm -f "$work/out/"*
read -r t1 m1 < <(measure bash -c 'desktop "$@"' _ "$work/kestravo-cli" convert --profile 2 --jobs 1 --output "$work/out" "$many/t0000.avi")
rm -f "$work/out/"*
read -r tn mn < <(measure bash -c 'desktop "$@"' _ "$work/kestravo-cli" convert --profile 2 --jobs 1 --output "$work/out" "$many"/t*.avi)
converted=$(find "$work/out" -type f -size +0 | wc -l)
awk -v t1="$t1" -v m1="$m1" -v tn="$tn" -v mn="$mn" -v n="$converted" 'BEGIN {
  printf "1000 files, 1024 open files: %d converted in %.1f s (one file %.2f s); peak memory %d kB, one file %d kB,\n", n, tn, t1, mn, m1
  printf "  %.0f kB more: %.1f kB per task (target: all 1000 converted, <= 250 MB more)\n", mn - m1, (mn - m1) / 1000 }'
rm -rf "$many"
echo "machine after: load $(cut -d' ' -f1-3 /proc/loadavg)"
