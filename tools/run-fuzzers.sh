#!/usr/bin/env bash
# Runs every fuzz target in a folder for a bounded time, seeded from the sample messages and
# from the target's committed regression inputs (fuzz/regressions/<target>/).
#   run-fuzzers.sh BUILD_FUZZ_DIR SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
seconds=$2
corpus_dir=${MSGPLUGIN_CORPUS_DIR:-$(pwd)/../shared/corpus}
shopt -s nullglob
targets=("$dir"/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets built"
  exit 0
fi
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d)
  # Seeds are copied, so libFuzzer never writes into the sample folder.
  find "$corpus_dir" -name '*.msg' -size -3M -exec cp {} "$work/" \; 2>/dev/null || true
  regressions=fuzz/regressions/$name
  if [ -d "$regressions" ]; then cp "$regressions"/* "$work/" 2>/dev/null || true; fi
  # Files the targets write go to a scratch folder, in memory where there is one (saves flush to
  # disk), removed afterwards.
  scratch=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
  echo "=== fuzz: $name for ${seconds}s"
  set +e
  TMPDIR="$scratch" "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work" 2>&1 | tail -n 12
  status=${PIPESTATUS[0]}
  set -e
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    # The input that failed stays, for fuzz/regressions/.
    echo "fuzz target $name failed; its input is in $work (crash-*)"
    exit "$status"
  fi
  rm -rf "$work"
done
