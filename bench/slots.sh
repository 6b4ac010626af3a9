#!/usr/bin/env bash
# The logger with many slots: CPU of the logger process itself (the encoder
# children not counted) per slot per audio hour while 32 slots record MP3 from
# one shared source, without and with the silence alarm on, resident memory per
# recording and per idle slot, and the start-up time with 255 slots.
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build rudazodudad
bin="$PWD/$build/app/rudazodudad"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
seconds=${BENCH_SECONDS:-60}
ticks=$(getconf CLK_TCK)

# write_ini DIR COUNT SOURCE [SILENCE]: COUNT slots; SOURCE "tone" records the
# shared test tone; SILENCE "on" watches it for silence.
write_ini() {
    mkdir -p "$1"
    {
        printf '[General]\nSlots=%d\n' "$2"
        for ((i = 0; i < $2; i++)); do
            printf '[Slot%d]\nFolder=%s/rec%d\nCleanupSpaceEnabled=off\nSilenceAlarm=%s\n' "$i" "$1" "$i" "${4:-off}"
            if [ "$3" = tone ]; then printf 'Source=Soundcard\nDevice=TEST:0\n'; fi
        done
    } > "$1/RudazOdudad.ini"
}

# start DIR: runs the logger on DIR, waits until its slots are ready; sets pid and ready_ms.
start() {
    local t0 t1
    t0=$(date +%s%N)
    RUDAZODUDAD_DATA_DIR="$1" RUDAZODUDAD_TEST_TONE=440 "$bin" 2> "$1/log" &
    pid=$!
    until grep -q 'slots ready' "$1/log" 2>/dev/null; do sleep 0.005; done
    t1=$(date +%s%N)
    ready_ms=$(( (t1 - t0) / 1000000 ))
}
stop() { kill -TERM "$pid"; wait "$pid" || true; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

write_ini "$work/none" 0 none
start "$work/none"; sleep 2; base_rss=$(rss_kib "$pid"); stop

write_ini "$work/idle" 255 none
start "$work/idle"; idle_ready=$ready_ms; sleep 2; idle_rss=$(rss_kib "$pid"); stop

# cpu_per_slot DIR SILENCE: 32 recording slots; sets cpu to the logger's CPU
# seconds per slot per audio hour and rec_rss to its resident memory.
cpu_per_slot() {
    write_ini "$1" 32 tone "$2"
    start "$1"
    sleep 3 # the first tick has opened every file
    local c0 c1 t0 t1 files
    c0=$(cpu_ticks "$pid"); t0=$(date +%s%N)
    sleep "$seconds"
    c1=$(cpu_ticks "$pid"); t1=$(date +%s%N)
    rec_rss=$(rss_kib "$pid")
    stop
    files=$(find "$1" -name '*.mp3' | wc -l)
    [ "$files" -ge 32 ] || { echo "only $files files recorded" >&2; exit 1; }
    cpu=$(awk -v c="$((c1 - c0))" -v hz="$ticks" -v ns="$((t1 - t0))" -v n=32 \
        'BEGIN { printf "%.3f", (c / hz) / n * 3600 / (ns / 1e9) }')
}
cpu_per_slot "$work/silence" on
cpu_on=$cpu
cpu_per_slot "$work/rec" off
cpu_off=$cpu
echo "RESULT logger_cpu_per_slot_per_audio_hour $cpu_off s"
echo "RESULT logger_cpu_per_slot_per_audio_hour_silence_alarm_on $cpu_on s"
awk -v r="$rec_rss" -v b="$base_rss" -v n=32 'BEGIN { printf "RESULT rss_per_recording_slot %.2f MiB\n", (r - b) / n / 1024 }'
awk -v r="$idle_rss" -v b="$base_rss" -v n=255 'BEGIN { printf "RESULT rss_per_idle_slot %.3f MiB\n", (r - b) / n / 1024 }'
echo "RESULT startup_255_slots $idle_ready ms"
