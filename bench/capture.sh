#!/usr/bin/env bash
# One PulseAudio source shared by 32 slots for 60 s: the logger's CPU for
# capture and fan-out (slots stopped, so no encoders run), against 32 parec
# processes recording the same source to /dev/null, in the same run.
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build rudazodudad
bin="$PWD/$build/app/rudazodudad"
work=$(mktemp -d)
chmod 700 "$work"
export XDG_RUNTIME_DIR="$work" HOME="$work"
unset PULSE_SERVER DISPLAY || true
cleanup() { kill $(jobs -p) 2>/dev/null || true; pulseaudio --kill 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
seconds=${BENCH_SECONDS:-60}
slots=32

pulseaudio -D -n --exit-idle-time=-1 -L module-native-protocol-unix -L module-null-sink \
    -L "module-sine-source frequency=440 source_name=sine"
for _ in $(seq 50); do pactl list short sources 2>/dev/null | grep -q sine && break; sleep 0.1; done

{
    printf '[General]\nSlots=%d\n' "$slots"
    for ((i = 0; i < slots; i++)); do
        printf '[Slot%d]\nEnabled=off\nFolder=%s/rec%d\nSource=Soundcard\nDevice=WASAPI:sine\n' "$i" "$work" "$i"
    done
} > "$work/RudazOdudad.ini"
RUDAZODUDAD_DATA_DIR="$work" "$bin" 2> "$work/log" &
pid=$!
until grep -q 'slots ready' "$work/log" 2>/dev/null; do sleep 0.05; done
sleep 5 # past the source's first burst and every slot's attach
ours=$(cpu_over_period "$pid")
kill -TERM "$pid"; wait "$pid" || true
attached=$(grep -c 'Recording from WASAPI' "$work/log" || true)
[ "$attached" -eq "$slots" ] || { echo "only $attached slots attached" >&2; cat "$work/log" >&2; exit 1; }
dropped=$(awk '/bytes of input audio were dropped/ {n += $(NF-6)} END {print n + 0}' "$work/log")

pids=()
for ((i = 0; i < slots; i++)); do
    parec -d sine --format=float32le --channels=2 --rate=44100 > /dev/null &
    pids+=($!)
done
sleep 5
peers=$(cpu_over_period "${pids[@]}")
kill "${pids[@]}"; wait "${pids[@]}" 2>/dev/null || true

report_cpu logger_capture_cpu "$ours" parec_x32_cpu "$peers" logger_to_parec_ratio
echo "RESULT dropped_input_bytes $dropped bytes"
