#!/usr/bin/env bash
# The shared test data lives outside the repository (PIXMORPH_TESTDATA, by default
# ../shared/testdata beside the clone). Without it the tests that read it skip themselves;
# under CI (CI set in the environment) its absence is an error, so CI never passes by skipping.
#   testdata.sh check          fails under CI when the folder is missing
#   testdata.sh notice BUILD   one line naming the folder and the tests a run of BUILD skipped
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=${PIXMORPH_TESTDATA:-$root/../shared/testdata}
folder=$(realpath -m "$folder")
required() { [ -n "${CI:-}" ] && [ "${CI}" != false ] && [ "${CI}" != 0 ]; }

case "${1:-}" in
  check)
    if [ ! -d "$folder" ] && required; then
      echo "test data not found at $folder: CI needs it (set PIXMORPH_TESTDATA to the folder)" >&2
      exit 1
    fi ;;
  notice)
    [ -d "$folder" ] && exit 0
    skipped=$(grep -c '\*\*\*Skipped' "$2/ctest.log" 2>/dev/null || true)
    echo "NOTICE: test data not found at $folder: ${skipped:-0} tests skipped" \
         "(set PIXMORPH_TESTDATA to the folder to run them)" ;;
  *)
    echo "usage: $0 check | notice BUILD" >&2
    exit 2 ;;
esac
