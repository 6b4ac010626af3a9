#!/usr/bin/env bash
# Builds the routing fuzz target with clang's libFuzzer, ASan and UBSan, and
# runs it for a bounded time. Needs a configured build folder for the
# generated web file data:  bash tests/web/fuzz/run.sh <build dir> [seconds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
build="$(cd "$1" && pwd)"
seconds="${2:-45}"
out="$build/fuzz"
mkdir -p "$out/corpus"
cmake --build "$build" --target rudaz_web >/dev/null # makes the generated web file data
mapfile -t routing < "$build/web/routing_sources.txt"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/web" -I"$root/slots" -I"$root/app" -I"$root/audio" \
    "$root/tests/web/fuzz/RouterFuzz.cpp" "${routing[@]}" "$root/slots/Catalogue.cpp" "$root/slots/Alarms.cpp" \
    "$root/slots/SlotServices.cpp" "$root/slots/OpenFiles.cpp" "$root/audio/ClipCutter.cpp" "$root/audio/FFmpegLog.cpp" \
    "$root/slots/SlotSettings.cpp" "$root/slots/SlotSettingsRules.cpp" \
    -lsqlite3 -lcrypto -lavformat -lavcodec -lswresample -lavutil -o "$out/router_fuzz"
# Seeds: each route once. The first byte: '@' GET, 'D' GET with a user set, 'J' POST with commands on,
# 'Z' the same with the origin line as Referer; the lines: target, Authorization, Host, origin, Range, body.
i=0
for seed in $'@/\n' $'@/INDEX.html\n\nlocalhost:5252\n' $'@/ws/slots\n\nevil.example\n' $'@/ws/slot/0/name\n\n[::1]:80\n' \
            $'@/ws/slot/0/weekcalendarevents?start=2011-3-7&end=2011-3-14\n\nstudio.example.\n' \
            $'@/ws/slot/0/list/2011/3/7\n' $'@/ws/status\n' $'@/metrics\n' \
            $'@/ws/slot/0/weekevents?start=2011-3-7&end=2011-3-14\n' $'@/ws/slot/0/getfile/1\n' $'D/ws/slot/0/getfile/2\nBasic dXNlcjpwdw==\n' \
            $'D/ws/slots\nBasic dXNlcjp4\n' $'J/execute\n\n127.0.0.1:5252\nhttp://127.0.0.1:5252\n\ncommand=SLOT+1+START' \
            $'Z/execute\n\n127.0.0.1\nhttp://evil.example/page\n\ncommand=SLOT+1+STOP' \
            $'J/execute\n\n127.0.0.1\nnull\n\ncommand=SLOT+1+STOP' \
            $'@/ws/slot/0/getfile/1\n\n\n\nbytes=2-3\n' $'@/ws/slot/0/play/1\n\n\n\nbytes=-100\n' \
            $'@/ws/slot/0/clip?start=2011-03-07T10:58:00&end=2011-03-07T11:02:00\n' \
            $'L/ws/slot/0/settings\nBasic dXNlcjpwdw==\n' \
            $'N/ws/slot/0/settings\nBasic dXNlcjpwdw==\n127.0.0.1\nhttp://127.0.0.1\n\n{"Name":"x","Format":"wma","Bitrate":64000,"Device":"Line in"}' \
            $'N/ws/settings\nBasic dXNlcjpwdw==\n127.0.0.1\nhttp://127.0.0.1\n\n{"Slots":3}'; do
    printf '%s' "$seed" > "$out/corpus/seed$i"
    i=$((i + 1))
done
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$out/router_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus" 2>"$out/fuzz.log" || { tail -60 "$out/fuzz.log"; exit 1; }
grep -E "^stat::number_of_executed_units|Done" "$out/fuzz.log" || true
echo "fuzz: no crash and no sanitizer report in ${seconds} s"
