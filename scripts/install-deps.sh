#!/usr/bin/env bash
# Installs the Debian packages that building, testing, fuzzing and benchmarking need.
# Idempotent: nothing is downloaded when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg62-turbo-dev libmng-dev zlib1g-dev
  libpng-dev libgif-dev imagemagick pngcheck libjpeg-turbo-progs
  libcairo2-dev fonts-dejavu-core libmagickcore-6.q16-6-extra
  parallel strace bindfs graphicsmagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
