#!/usr/bin/env bash
# Converts the bundled samples the way the parent application calls pixmorph:
# one process per conversion, on copies in out/demo/ (most codes delete their input).
set -uo pipefail
pixmorph=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/out/demo"
rm -rf "$work" && mkdir -p "$work"
cp "$root"/samples/* "$work"/
cd "$work"

failures=0
convert() {
  local input=$1 code=$2 output=$3
  if "$pixmorph" "$input" "$code" "$output"; then
    printf '  %-19s --%4s--> %-22s %8d bytes\n' "$input" "$code" "$output" "$(stat -c %s "$output")"
  else
    printf '  %-19s --%4s--> %-22s FAILED\n' "$input" "$code" "$output"
    failures=$((failures + 1))
  fi
}

echo "Converting the samples in $work"
convert sunset.bmp      100 sunset-copy.bmp
convert sunset-copy.bmp   5 sunset-codec.bmp
convert sunset-codec.bmp  5 sunset.png
convert sunset.png        5 sunset-from-png.bmp
convert stripes.bmp       5 stripes.png
convert stripes.png       5 stripes.mng
# The fixed bitmap codes delete their input, so each takes its own copy.
for target in 101:sunset.jpg 102:sunset.gif 103:sunset.ico 104:sunset-libmng.png 105:sunset.jng 106:sunset.wmf; do
  cp sunset.bmp "in-${target%%:*}.bmp"
  convert "in-${target%%:*}.bmp" "${target%%:*}" "${target#*:}"
done
convert sunset.jpg        5 sunset-from-jpg.bmp
convert sunset.wmf        5 sunset-from-wmf.bmp
convert stripes.mng       5 stripes.pcx
convert stripes.pcx       5 stripes-from-pcx.bmp
# PPM comes from the sample plug-in beside the executable.
convert sunset-from-wmf.bmp 5 sunset.ppm
convert sunset.ppm        5 sunset-from-ppm.png
convert notes.txt      1010 notes-copy.txt
convert notes-copy.txt  107 notes.shifted
convert notes.shifted   109 notes-restored.txt
cmp -s notes.txt notes-restored.txt && echo "  107 then 109 restored notes.txt byte for byte" \
  || { echo "  107 then 109 did NOT restore notes.txt"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
  echo "$failures conversion(s) failed"
  exit 1
fi
echo "All conversions done; results are in $work"
