#!/usr/bin/env bash
# Runs every benchmark program of the release build with short settings and
# prints what each prints. Builds nothing: `make bench` builds first.
#
#   bash bench/run.sh                 programs from build/release/bench
#   VX_BENCH_DIR=dir bash bench/run.sh
#
# Benchmarks report numbers, ratios and PASS/MISS against their targets; a
# MISS never changes the exit status. The exit status is non-zero only when
# the directory is missing or a program could not run to its end.
set -u

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${VX_BENCH_DIR:-$ROOT/build/release/bench}"

if [ ! -d "$DIR" ]; then
  echo "run.sh: no benchmark directory $DIR (run 'make bench' to build first)" >&2
  exit 1
fi

# Short settings per program; whole run about two minutes on two cores.
args_for() {
  case "$1" in
    ChunkBufferBench)    echo "--benchmark_min_time=0.05 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true" ;;
    EventProcessorBench) echo "--benchmark_min_time=0.05" ;;
    MetricsBench)        echo "--benchmark_min_time=0.05" ;;
    TtsServerBench)      echo "--benchmark_min_time=0.05" ;;
    LatencyBench)        echo "--speaks=1000 --rounds=20 --channels=100" ;;
    FirstSpeakBench)     echo "--samples=200" ;;
    SpeakStartBench)     echo "--channels=1000" ;;
    SharedSynthesisBench) echo "--channels=100" ;;
    MemoryBench)         echo "--speaks=1000" ;;
    CacheBench)          echo "--records=10000 --hits=300 --synths=20" ;;
    StreamBench)         echo "--speaks=20" ;;
    *)
      # A program not listed here: Google Benchmark programs get a short
      # minimum time, others run with their defaults.
      if grep -q "benchmark_min_time" "$DIR/$1" 2>/dev/null; then
        echo "--benchmark_min_time=0.05"
      fi
      ;;
  esac
}

failed=()
ran=0
start_all=$(date +%s)
for program in "$DIR"/*; do
  [ -f "$program" ] && [ -x "$program" ] || continue
  name="$(basename "$program")"
  args="$(args_for "$name")"
  echo
  echo "=================================================================="
  echo "== $name $args"
  echo "=================================================================="
  start=$(date +%s)
  # shellcheck disable=SC2086
  "$program" $args
  status=$?
  ran=$((ran + 1))
  echo "-- $name: exit $status, $(( $(date +%s) - start )) s"
  [ "$status" -eq 0 ] || failed+=("$name")
done

echo
echo "== $ran benchmark programs in $(( $(date +%s) - start_all )) s"
if [ "$ran" -eq 0 ]; then
  echo "run.sh: no benchmark programs in $DIR" >&2
  exit 1
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "== did not run to the end: ${failed[*]}" >&2
  exit 1
fi
exit 0
