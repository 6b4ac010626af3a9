#!/usr/bin/env bash
# Installs what is needed, builds the program and runs it. Without a display it
# runs headless; the data folder is $RUDAZODUDAD_DATA_DIR when set.
#
# --demo: a data folder of its own (./demo, or $RUDAZODUDAD_DEMO_DIR) with one
# slot recording a test tone and the web server on port 5252 (or
# $RUDAZODUDAD_DEMO_PORT) behind a user "demo" and a new password, printed once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j"$(nproc)" --target rudazodudad
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
if [ "${1:-}" = "--demo" ]; then
  shift
  demo="${RUDAZODUDAD_DEMO_DIR:-$PWD/demo}"
  port="${RUDAZODUDAD_DEMO_PORT:-5252}"
  mkdir -p "$demo"
  password=$(head -c 32 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 12)
  hash=$(printf '%s' "DededuvAdiroRovodav$password" | md5sum | cut -c1-32 | tr a-f A-F)
  cat > "$demo/RudazOdudad.ini" <<INI
[General]
Slots=1
[Webserver]
Enabled=on
Address=127.0.0.1
Port=$port
User=demo
Password=$hash
Configuration=on
[Slot0]
Name=Demo tone
Source=Soundcard
Device=TEST:0
Folder=$demo/recordings
CleanupDaysEnabled=on
CleanupDays=7
INI
  echo "Demo: a 1000 Hz tone is recorded into $demo/recordings"
  echo "Web page: http://127.0.0.1:$port/  user: demo  password: $password"
  echo "Stop with Ctrl-C; every file is finished first."
  export RUDAZODUDAD_DATA_DIR="$demo" RUDAZODUDAD_TEST_TONE=1000
fi
exec build/app/rudazodudad "$@"
