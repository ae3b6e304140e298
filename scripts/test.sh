#!/usr/bin/env bash
# Configures, builds and runs every test in both presets: optimised, then under
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

for preset in default asan; do
  echo "=== preset: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
