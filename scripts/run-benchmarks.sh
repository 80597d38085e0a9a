#!/usr/bin/env bash
# Runs every benchmark of a bench build; each prints our figures beside the peer's.
# peers_bench goes first: its table holds the paths users compare us on, as ratios.
set -euo pipefail
build=$1
run() {
  echo "== $(basename "$1")"
  "$1" --benchmark_counters_tabular=true
}
if [ -x "$build/peers_bench" ]; then run "$build/peers_bench"; fi
for bench in "$build"/*_bench; do
  if [ -x "$bench" ] && [ "$bench" != "$build/peers_bench" ]; then run "$bench"; fi
done
