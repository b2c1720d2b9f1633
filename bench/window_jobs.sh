#!/usr/bin/env bash
# Four copies of the 20 s 1280 x 720 8-bit 4:2:0 H.264 + AAC clip converted by the
# main window's batch, 2 at a time, against the ideal: 4 x the floor program's
# single-thread CPU seconds for one file / cores (target: at most 1.05 x on 2 cores).
# Each run with the progress dialog's Preview on (as it opens for video) and off, and
# kestravo-cli convert --jobs 2 beside them under the same load. On a virtual X
# server, as a desktop would draw it. Not a test: run it by hand on a quiet machine.
#   bench/window_jobs.sh [RUNS]        (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
./tools/install-deps.sh
build=build-release
./tools/build-release.sh window_jobs_bench kestravo-cli make_test_media
work="$build/bench"
source bench/common.sh
prepare_bench_work

clip="$work/media/bench_720p.mp4"
files=()
for i in 1 2 3 4; do
  cp "$clip" "$work/media/window_$i.mp4"
  files+=("$work/media/window_$i.mp4")
done
# "seconds cpu-seconds" of one batch through the window.
window_batch() {
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/window_jobs_bench" "$work/kestravo.ini" 2 "$1" "${files[@]}" \
    >"$work/window.txt" 2>"$work/stderr.txt" || { cat "$work/stderr.txt" "$work/window.txt" >&2; exit 1; }
  sed -n 's/^batch: \([0-9.]*\) s.*cpu \([0-9.]*\) s/\1 \2/p' "$work/window.txt"
}

cores=$(nproc)
echo "machine: $cores cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
on=(); off=(); oncpu=(); offcpu=(); cli=(); fc=()
for ((i = 0; i < runs; i++)); do
  read -r t c < <(window_batch on)
  on+=("$t"); oncpu+=("$c")
  read -r t c < <(window_batch off)
  off+=("$t"); offcpu+=("$c")
  rm -f "$work/out/"*
  read -r t m < <(measure "$work/kestravo-cli" convert --profile 0 --jobs 2 --output "$work/out" "${files[@]}")
  cli+=("$t")
  fc+=("$(floor_h264_cpu_seconds "$clip")")
done
awk -v a="$(printf '%s\n' "${on[@]}" | median)" -v b="$(printf '%s\n' "${off[@]}" | median)" \
    -v ac="$(printf '%s\n' "${oncpu[@]}" | median)" -v bc="$(printf '%s\n' "${offcpu[@]}" | median)" \
    -v d="$(printf '%s\n' "${cli[@]}" | median)" -v c="$(printf '%s\n' "${fc[@]}" | median)" -v n="$cores" 'BEGIN {
  ideal = 4 * c / n
  printf "four files, 2 at a time: ideal %.2f s (4 x %.2f CPU s / %d cores)\n", ideal, c, n
  printf "  window, preview on   %.2f s, ratio %.3f (target <= 1.05); CPU %.2f s, %.3f x the floor'"'"'s\n", a, a / ideal, ac, ac / (4 * c)
  printf "  window, preview off  %.2f s, ratio %.3f (target <= 1.05); CPU %.2f s, %.3f x the floor'"'"'s\n", b, b / ideal, bc, bc / (4 * c)
  printf "  kestravo-cli --jobs 2 %.2f s, ratio %.3f\n", d, d / ideal }'
rm -f "${files[@]}"
echo "machine after: load $(cut -d' ' -f1-3 /proc/loadavg)"
