#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test twice: under
# AddressSanitizer + UndefinedBehaviorSanitizer, then in the plain build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build-sanitize -G Ninja -DRUDAZ_SANITIZE=ON -DRUDAZ_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j"$jobs" --output-on-failure)

cmake -S . -B build -G Ninja
cmake --build build -j"$jobs"
(cd build && ctest -j"$jobs" --output-on-failure)

# Request routing and parsing under libFuzzer with ASan and UBSan, for a bounded time.
bash tests/web/fuzz/run.sh build 45
