#!/usr/bin/env bash
# Installs what Sonaret needs to build, run and test on Debian 12, and only
# what is missing: a machine that has everything is left alone (no apt-get,
# no root needed).
set -euo pipefail

packages=(
  # build
  g++ make cmake ninja-build pkg-config
  # the encoder, and the decoder the tests check its files with
  libmp3lame-dev libmpg123-dev
  # the sound server: its client library, and the daemon and pactl the tests run
  libpulse-dev pulseaudio pulseaudio-utils
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: these packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
