#!/usr/bin/env bash
# What kestravo-cli watch costs while nothing arrives: the CPU time it takes over a
# minute of watching a tree of 100 folders that already holds converted files
# (target: under 1 % of a core). Not a test: run it by hand on a quiet machine.
#   bench/watch_idle.sh [SECONDS]       (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${KV_BUILD:-build-release}"
[ -n "${KV_BUILD:-}" ] || ./tools/build-release.sh kestravo-cli make_test_media
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/tools/make_test_media" "$work/media" >/dev/null
for d in $(seq 1 100); do mkdir -p "$work/in/folder$d"; done
for d in 1 2 3; do cp "$work/media/tiny_64x48.avi" "$work/in/folder$d/clip.avi"; done
"$build/stage/kestravo-cli" watch "$work/in" --profile "WAV - PCM Audio(*.wav)" --output "$work/out" \
  > "$work/watch.log" 2>&1 &
pid=$!
# The files there at start are converted first; then the watch has nothing to do.
for _ in $(seq 1 120); do
  [ "$(grep -c '^Converted: ' "$work/watch.log" || true)" -ge 3 ] && break
  sleep 1
done
sleep 5
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
t0=$(ticks)
sleep "$seconds"
t1=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t="$((t1 - t0))" -v hz="$hz" -v s="$seconds" 'BEGIN {
  printf "watch idle: %.3f s of CPU in %d s = %.3f %% of a core (target < 1 %%)\n", t / hz, s, 100 * t / hz / s }'
