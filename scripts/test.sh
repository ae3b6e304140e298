#!/usr/bin/env bash
# Configures, builds and runs every test in both presets: optimised, then under
# AddressSanitizer and UndefinedBehaviorSanitizer; or in the presets named as arguments (such as
# `minimal`, the build a machine without the optional packages makes). Exits non-zero on the first
# failure.
# The build and test logs go to build/<preset>/{build,ctest}.log; the terminal gets each preset's
# summary, and a failure's log in full.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default asan)
for preset in "${presets[@]}"; do
  echo "=== preset: $preset"
  cmake --preset "$preset" >/dev/null
  log=build/$preset
  if ! cmake --build --preset "$preset" -j "$jobs" >"$log/build.log" 2>&1; then
    cat "$log/build.log"
    exit 1
  fi
  if ! ctest --preset "$preset" -j "$jobs" --output-on-failure >"$log/ctest.log" 2>&1; then
    cat "$log/ctest.log"
    exit 1
  fi
  grep -E "tests passed|Total Test time|did not run|Skipped" "$log/ctest.log" || true
done
