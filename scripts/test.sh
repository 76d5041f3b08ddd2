#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the optimised
# build, then the same suite under AddressSanitizer with
# UndefinedBehaviorSanitizer and LeakSanitizer, then under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/deps.sh build test

for preset in dev asan tsan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j"$jobs"
done
