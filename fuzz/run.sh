#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UBSan) into
# build-fuzz/ and runs every target for SECONDS, one after the other:
#   fuzz/run.sh SECONDS [TARGET...]
# Prints per target the executions, coverage, corpus and findings; exits 1 when any
# target found something. The corpora grow in build-fuzz/corpus/ from run to run;
# findings are kept in build-fuzz/findings/TARGET/ (crash-*, timeout-*, leak-*, oom-*)
# and reproduce with: build-fuzz/fuzz/TARGET build-fuzz/findings/TARGET/FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
fi
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(probe_fuzz convert_fuzz options_fuzz records_fuzz settings_fuzz)

./tools/install-deps.sh --fuzz
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKV_FUZZ=ON -DKV_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets

# Seeds: tiny clips from the test media tool, texts made by make_seeds, the shipped settings.
seeds=$build/seeds
mkdir -p "$seeds"
"$build/tools/make_test_media" "$seeds/media" --seeds >/dev/null
"$build/fuzz/make_seeds" "$seeds"
cp res/kestravo.ini "$seeds/settings/shipped.ini"

export ASAN_OPTIONS="detect_leaks=1:suppressions=$PWD/tests/asan.supp"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Scratch files of the targets go to memory when they can (saving settings syncs the
# disk), into a folder of this run that goes when the run ends.
scratch_root=/dev/shm
[ -d "$scratch_root" ] && [ -w "$scratch_root" ] || scratch_root=$PWD/$build
TMPDIR=$(mktemp -d "$scratch_root/kv_fuzz_run.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

found=0
summary=()
for t in "${targets[@]}"; do
  case $t in
    probe_fuzz|convert_fuzz) seed=$seeds/media max_len=32768 ;;
    options_fuzz) seed=$seeds/options max_len=4096 ;;
    records_fuzz) seed=$seeds/records max_len=4096 ;;
    settings_fuzz) seed=$seeds/settings max_len=16384 ;;
    *) echo "unknown target: $t" >&2; exit 2 ;;
  esac
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  log=$build/logs/$t.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  before=$(ls "$findings" | wc -l)
  echo "== $t: ${seconds}s"
  status=0
  # A run of more than 10 s on one input is a hang.
  "$build/fuzz/$t" "$corpus" "$seed" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$max_len" -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # A target that fails on its seeds prints no coverage line.
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  files=$(ls "$corpus" | wc -l)
  new=$(( $(ls "$findings" | wc -l) - before ))
  line="$t: executions ${execs:-0}, coverage ${cov:-0} edges (${ft:-0} features), corpus $files files"
  if [ "$status" -ne 0 ] || [ "$new" -gt 0 ]; then
    found=1
    line="$line, FINDING (exit $status): $(grep -m1 -E '^(==[0-9]+== ?ERROR|FINDING|ALARM)|runtime error' "$log" || echo 'see log')"
    line="$line; input: $(ls -t "$findings" | head -1); log: $log"
  else
    line="$line, no findings"
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "== summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $found
