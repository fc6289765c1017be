#!/usr/bin/env bash
# Runs each fuzz harness built by the fuzz preset for FUZZ_SECONDS (default
# 300) over its seed corpus, one harness at a time, and stops at the first
# crash (exit status 1). The seeds are copied into build/fuzz/corpus/NAME,
# where the inputs a run finds are kept for the next run; the repository's
# corpus is not written. Crashing inputs go to build/fuzz/artifacts/NAME/.
#   FUZZ_SECONDS=30 bash fuzz/run.sh            every harness, 30 s each
#   FUZZERS="wave mrcp" bash fuzz/run.sh        only those
#   FUZZ_ARGS="-runs=10000000" bash fuzz/run.sh more libFuzzer options
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
list=$build/fuzzers.txt
seconds=${FUZZ_SECONDS:-300}
if [[ ! -f $list ]]; then
  echo "fuzz: $list is missing; configure and build the fuzz preset first" >&2
  exit 2
fi
# The harnesses write their scratch files below TMPDIR: memory is much faster
# than a disk at truncating and rewriting the same small files.
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
while read -r name program max_len dict seeds; do
  [[ -z $name ]] && continue
  if [[ -n ${FUZZERS:-} && " $FUZZERS " != *" $name "* ]]; then continue; fi
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  for seed in $seeds; do
    if [[ -d $seed ]]; then cp -r "$seed"/. "$corpus"/; fi
  done
  options=(-max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1
           -artifact_prefix="$artifacts/")
  if [[ $dict != - ]]; then options+=(-dict="$dict"); fi
  echo "fuzz: $name for ${seconds}s"
  # shellcheck disable=SC2086
  if ! "$program" "${options[@]}" ${FUZZ_ARGS:-} "$corpus" 2>"$build/$name.log"; then
    tail -n 60 "$build/$name.log" >&2
    echo "fuzz: $name crashed; the input is in $artifacts/" >&2
    exit 1
  fi
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)" \
    "$build/$name.log" | sed "s/^/fuzz: $name /" || true
  passed=$((passed + 1))
done <"$list"
echo "fuzz: $passed passed, 0 failed"
