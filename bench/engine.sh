#!/usr/bin/env bash
# CPU seconds per hour of stereo audio through a slot's recording chain
# (push stream -> mixer -> level and count -> 16-bit -> pipe to a discarding
# process), against ffmpeg doing the same conversion into the same kind of sink.
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build engine_bench
bench="$build/bench/engine_bench"
seconds=3600

run() { # which inRate outRate -> the best of three runs
    local best=""
    for _ in 1 2 3; do
        local v
        v=$("$bench" "$1" "$2" "$3" "$seconds")
        if [ -z "$best" ] || awk -v a="$v" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$v; fi
    done
    echo "$best"
}

ours=$(run ours 48000 44100)
peer=$(run ffmpeg 48000 44100)
ours_same=$(run ours 44100 44100)
peer_same=$(run ffmpeg 44100 44100)
echo "RESULT chain_48000_to_44100_cpu $ours s/audio-hour"
echo "RESULT ffmpeg_48000_to_44100_cpu $peer s/audio-hour"
echo "RESULT chain_to_ffmpeg_ratio $(awk -v a="$ours" -v b="$peer" 'BEGIN{printf "%.3f", a/b}') x"
echo "RESULT chain_44100_to_44100_cpu $ours_same s/audio-hour"
echo "RESULT ffmpeg_44100_to_44100_cpu $peer_same s/audio-hour"
echo "RESULT chain_to_ffmpeg_ratio_no_resampling $(awk -v a="$ours_same" -v b="$peer_same" 'BEGIN{printf "%.3f", a/b}') x"
