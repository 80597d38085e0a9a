#!/usr/bin/env bash
# Runs every benchmark of a bench build; each prints our figures beside the peer's.
set -euo pipefail
build=$1
for bench in "$build"/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_counters_tabular=true
done
