#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang-14 with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time:
#   bash scripts/fuzz.sh            60 s per target (what CI runs)
#   bash scripts/fuzz.sh 1800       a long local run, 30 min per target
# Fails on any crash, leak, undefined behaviour, timeout, memory blow-up or broken property.
# Each target starts from its committed seeds (fuzz/corpus/<target>) plus what earlier runs
# found (build/fuzz/runs/<target>/corpus); a failing input is kept there as crash-*, leak-*,
# timeout-* or oom-*, and can be replayed with: build/fuzz/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=(fuzz_parse_fields fuzz_run_settings fuzz_generator fuzz_command_line fuzz_config_file)
declare -A max_len=([fuzz_parse_fields]=512 [fuzz_run_settings]=4096 [fuzz_generator]=1024 [fuzz_command_line]=2048 [fuzz_config_file]=4096)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failures=0
for target in "${targets[@]}"; do
  run=build/fuzz/runs/$target
  mkdir -p "$run/corpus"
  if build/fuzz/fuzz/"$target" -dict="fuzz/$target.dict" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len="${max_len[$target]}" -print_final_stats=1 -artifact_prefix="$run/" \
       "$run/corpus" "fuzz/corpus/$target" >"$run/log" 2>&1; then
    executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$run/log")
    echo "fuzz.sh: $target: ${executions:-?} executions in $seconds s, no failure"
  else
    echo "fuzz.sh: $target FAILED (log: $run/log):" >&2
    grep -E 'ERROR|property failed|runtime error|SUMMARY|Test unit written' "$run/log" | head -20 >&2 || tail -30 "$run/log" >&2
    failures=$((failures + 1))
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "fuzz.sh: $failures target(s) failed" >&2
  exit 1
fi
