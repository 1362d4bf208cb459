#!/usr/bin/env bash
# Installs what is missing, builds the optimised and the sanitizer configurations and the Windows
# DLL, runs every test of each (the ThreadSanitizer one: the tests labelled concurrency; the
# Windows ones under Wine), then runs each fuzz target for a bounded time.
#   FUZZ_SECONDS=N   seconds per fuzz target (default 60; 0 skips fuzzing)
#   PRESETS="..."    configurations to build and test (default "release asan tsan windows")
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh

for preset in ${PRESETS:-release asan tsan windows}; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done

fuzz_seconds=${FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz: build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  tools/run-fuzzers.sh build/fuzz/fuzz "$fuzz_seconds"
fi
