#!/usr/bin/env bash
# Installs what is needed, builds the program and runs it. Without a display it
# runs headless; the data folder is $RUDAZODUDAD_DATA_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja
cmake --build build -j"$(nproc)" --target rudazodudad
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
exec build/app/rudazodudad "$@"
