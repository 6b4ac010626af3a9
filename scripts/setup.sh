#!/usr/bin/env bash
# Installs everything the program, its tests and its benchmarks need.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config git curl ca-certificates
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libmicrohttpd-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libsimpleini-dev libssl-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libasound2-dev libjack-jackd2-dev libpulse-dev
  lame vorbis-tools ffmpeg
  pulseaudio pulseaudio-utils jackd2 icecast2 libasound2-plugins alsa-utils sox
  libgtest-dev libgmock-dev googletest libbenchmark-dev libx11-dev
  libjs-jquery libjs-jquery-ui libjs-jquery-ui-theme-smoothness
  chromium xvfb xauth xdotool imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev
  xdg-user-dirs valgrind python3 bindfs
  wrk nginx-light libcurl4-openssl-dev prometheus
  bindfs fuse3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Node.js may come from elsewhere on a prepared machine; Debian's only when npm is absent.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -q
  # jackd2 asks whether to enable realtime scheduling.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Front-end files and the browser driver for tests, pinned by the lock file.
if [ ! -f node_modules/.package-lock.json ] || ! cmp -s package-lock.json node_modules/.setup-lock; then
  npm ci --no-audit --no-fund
  cp package-lock.json node_modules/.setup-lock
fi
