#!/usr/bin/env bash
# Runs every libFuzzer target of a build for the given seconds on its seed corpus.
# New inputs go to a scratch corpus, so the committed seeds stay as they are.
set -euo pipefail
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
status=0
for fuzzer in "$build"/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  scratch=$(mktemp -d)
  seeds="$root/tests/fuzz/corpus/$name"
  mkdir -p "$seeds"
  # The readers fuzzed at the users' image limit of 1 GiB (tests/fuzz/FuzzBounds.h) must
  # stay within an image at that limit, libjpeg's coefficients beside it and the
  # sanitizer's quarantine, and within 3 s of work plus 1 s per 100 MB of image, slowed
  # down by the instrumentation.
  case $name in
    jpeg_fuzzer|gif_fuzzer|pcx_fuzzer|png_fuzzer|ico_fuzzer|wmf_fuzzer|wmf_text_fuzzer)
      limits=(-rss_limit_mb=3584 -timeout=60) ;;
    *) limits=(-rss_limit_mb=2048 -timeout=10) ;;
  esac
  echo "== $name: ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" "${limits[@]}" -max_len=1048576 \
        -artifact_prefix="$build/$name-" -print_final_stats=0 "$scratch" "$seeds" 2> "$build/$name.log"; then
    tail -n 60 "$build/$name.log"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
