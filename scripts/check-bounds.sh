#!/usr/bin/env bash
# Converts every file given (or every file in the folders given) with both front ends and
# checks the work against what the file's output explains: at most 3 s of CPU plus 1 s per
# 100 MB of output, and 300 MB of memory plus 1.3 times the output plus 64 MB. Timings are
# for a developer's machine, not for the test suite.
#   scripts/check-bounds.sh <build dir> <file or folder>...
#   scripts/check-bounds.sh <build dir>          every class of the table below
set -uo pipefail
build=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
# Every class of hostile input found so far, one row each: a folder of crafted files, or a
# class of scripts/hostile-files.py, which writes its files. A new class is a new row.
classes=(
  "folder tests/fuzz/regressions/bmp_fuzzer"
  "folder tests/fuzz/regressions/gif_fuzzer"
  "folder tests/fuzz/regressions/ico_fuzzer"
  "folder tests/fuzz/regressions/jpeg_fuzzer"
  "folder tests/fuzz/regressions/pcx_fuzzer"
  "folder tests/fuzz/regressions/png_fuzzer"
  "folder tests/fuzz/regressions/wmf_fuzzer"
  "generate wmf-text-huge-glyphs"
  "generate emf-text-huge-glyphs"
  "generate emf-polytext-many-strings"
  "generate emf-stretch-tiny-dib"
  "generate jpeg-arithmetic-marker-at-once"
  "generate jpeg-arithmetic-empty-scans"
  "generate jpeg-huffman-progressive-few-dc-rows"
  "generate png-interlaced-first-pass"
  "generate ico-png-entries"
  "generate ico-png-second-header"
  "generate gif-frame-inside-screen"
  "generate pcx-one-column"
  "generate gif-many-extensions"
  "generate jng-many-scans"
)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
check() {
  local file=$1 front=$2 name out cpu peak code mb
  name=$(basename "$file")
  cp "$file" "$work/$name"
  if [ "$front" = pixmorph ]; then args=("$work/$name" 0 "$work/out.bmp"); else args=("$work/$name" "$work/out.bmp"); fi
  timeout -s KILL 120 /usr/bin/time -f "%U %S %M" -o "$work/time" "$build/$front" "${args[@]}" > "$work/said" 2>&1
  code=$?
  read -r user system peak < <(tail -n 1 "$work/time" 2>/dev/null || echo "120 0 0")
  out=$(stat -c %s "$work/out.bmp" 2>/dev/null || echo 0)
  mb=$(awk -v b="$out" 'BEGIN { printf "%.0f", b / 1048576 }')
  verdict=$(awk -v u="$user" -v s="$system" -v p="$peak" -v o="$out" 'BEGIN {
    cpu = u + s; mb = o / 1048576;
    ok = cpu <= 3 + mb / 100 && p / 1024 <= 300 + 1.3 * mb + 64;
    printf "%s cpu=%.2fs peak=%dMB", ok ? "ok  " : "OVER", cpu, p / 1024 }')
  printf '%s %-13s exit=%d out=%sMB %s %s\n' "$verdict" "$front" "$code" "$mb" "$name" "$(head -c 60 "$work/said" | tr '\n' ' ')"
  [[ $verdict == OVER* ]] && status=1
  rm -f "$work/out.bmp" "$work/$name"
}
if [ $# -eq 0 ]; then
  crafted=$(mktemp -d)
  trap 'rm -rf "$work" "$crafted"' EXIT
  for row in "${classes[@]}"; do
    read -r how what <<< "$row"
    if [ "$how" = folder ]; then
      set -- "$@" "$root/$what"
    else
      python3 "$root/scripts/hostile-files.py" "$what" "$crafted/$what" && set -- "$@" "$crafted/$what"
    fi
  done
fi
for target in "$@"; do
  for file in $( [ -d "$target" ] && find "$target" -type f | sort || echo "$target" ); do
    for front in pixmorph pixmorph-open; do check "$file" "$front"; done
  done
done
exit $status
