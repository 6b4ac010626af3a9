#!/usr/bin/env bash
# Soak with fault injection: 16 slots recording from a private PulseAudio
# (sine source, also through ALSA's default device), a private JACK dummy
# server (silent capture ports) and a private Icecast with paced MP3 sources,
# into MP3, Ogg Vorbis and WMA, for SOAK_SECONDS (600). Meanwhile faults come
# at moments drawn from SOAK_SEED: encoders killed with SIGKILL, a PulseAudio
# restart, a JACK restart, a stream source that stalls and one that goes away,
# a slot folder read-only for a minute (its encoder is killed in that minute,
# so that the slot must open a new file there), the slot folder on a tmpfs
# filled to the last byte with cleanup by space on, a burst of web requests, a
# slot folder on a bindfs mount whose daemon is stopped (every call there hangs,
# as on a network mount gone bad; /ws/status is timed meanwhile), and a slot's
# catalogue held by another program's exclusive transaction.
# Shorter runs scale the fault windows down; SOAK_FAULTS picks some kinds only.
# After SIGTERM: whether the logger lived, every file read by ffprobe and
# decoded, every row against its file, and per slot the audio lost against the
# time its input was delivering (the run minus the windows its source was
# down). A negative loss is audio recorded twice: Icecast's burst on connecting
# repeats the last 4 s sent before a reconnect. SOAK_KEEP=1 keeps the work folder.
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build rudazodudad
bin="$PWD/$build/app/rudazodudad"
tool="$PWD/bench/soak_tool.py"
seconds=${SOAK_SECONDS:-600}
seed=${SOAK_SEED:-1}
faults=${SOAK_FAULTS:-all} # or some of: encoder_kill,pulse_restart,jack_restart,stream_stall,stream_close,readonly,disk_full,web_burst,hung_folder,catalogue_lock
[ "${seconds%.*}" -ge 120 ] || { echo "SOAK_SECONDS must be at least 120" >&2; exit 1; }
for t in pulseaudio pactl jackd jack_wait jack_lsp icecast2 ffmpeg ffprobe lame oggenc curl bindfs fusermount; do
    command -v "$t" > /dev/null || { echo "missing $t" >&2; exit 1; }
done
id icecast2 > /dev/null # Icecast will not run as root: it changes to this user

work=$(mktemp -d /tmp/rudaz-soak.XXXXXX)
chmod 755 "$work" # Icecast's own user must reach its folder
mkdir -p "$work/run" "$work/data" "$work/rec" "$work/feed" "$work/ice/log"
chmod 700 "$work/run"
chown icecast2 "$work/ice/log"
export XDG_RUNTIME_DIR="$work/run" HOME="$work/run"
unset PULSE_SERVER PULSE_RUNTIME_PATH DISPLAY || true
jack_name="rudazsoak$$"
export JACK_DEFAULT_SERVER="$jack_name" JACK_NO_START_SERVER=1
pid=
fault_jobs=()

now() { date +%s.%N; }
sleep_until() { sleep "$(awk -v t="$1" -v n="$(now)" 'BEGIN { d = t - n; printf "%.3f", (d > 0 ? d : 0) }')"; }
running() { [ -r "/proc/$1/stat" ] && [ "$(cut -d' ' -f3 "/proc/$1/stat")" != Z ]; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
pid_of() { cat "$work/$1.pid" 2> /dev/null || true; }
# stop_pid FILE: ends the process whose id FILE holds (not a child of this shell) and waits for it.
stop_pid() {
    local p
    p=$(pid_of "$1")
    [ -n "$p" ] || return 0
    kill -TERM "$p" 2> /dev/null || true
    for _ in $(seq 100); do kill -0 "$p" 2> /dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2> /dev/null || true
    rm -f "$work/$1.pid"
}
unmount_all() {
    local d
    if [ -n "${hung_dir:-}" ]; then
        [ -n "$(pid_of bindfs)" ] && kill -CONT "$(pid_of bindfs)" 2> /dev/null
        fusermount -u -z "$hung_dir" 2> /dev/null
        stop_pid bindfs
    fi
    for d in "$work"/rec/slot*; do
        while mountpoint -q "$d"; do umount "$d" 2> /dev/null || umount -l "$d"; done
    done
}

cleanup() {
    set +e
    for j in "${fault_jobs[@]}"; do kill "$j" 2> /dev/null; done
    [ -n "$pid" ] && kill -KILL "$pid" 2> /dev/null
    for f in "$work"/*.pid "$work"/feed/*.pid; do
        [ -f "$f" ] && kill -KILL "$(cat "$f")" 2> /dev/null
    done
    pulseaudio --kill 2> /dev/null
    wait 2> /dev/null
    [ "${SOAK_KEEP:-0}" = 1 ] && [ -n "${tmpfs_dir:-}" ] && mountpoint -q "$tmpfs_dir" &&
        cp -a "$tmpfs_dir" "$tmpfs_dir.tmpfs-copy"
    unmount_all
    rm -f /dev/shm/jack*"_${jack_name}_"* /dev/shm/jack*"_${jack_name}" 2> /dev/null
    if [ "${SOAK_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $work" >&2
    elif ! grep -q " $work/" /proc/mounts; then
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# ---- the sound servers ----

pulse_start() {
    pulseaudio -D -n --exit-idle-time=-1 -L module-native-protocol-unix -L module-null-sink \
        -L "module-sine-source frequency=440 source_name=sine" 2>> "$work/pulse.log"
    for _ in $(seq 100); do pactl list short sources 2> /dev/null | grep -q sine && break; sleep 0.1; done
    # ALSA's default device records PulseAudio's default source: the tone, not the null sink's monitor.
    pactl set-default-source sine
}
pulse_stop() {
    pulseaudio --kill
    while pulseaudio --check 2> /dev/null; do sleep 0.1; done
}
jack_start() {
    jackd -n "$jack_name" -r -d dummy -r 48000 -p 1024 -C 4 -P 2 >> "$work/jackd.log" 2>&1 &
    echo $! > "$work/jackd.pid"
    jack_wait -w -t 15 > /dev/null 2>&1
    for _ in $(seq 100); do jack_lsp 2> /dev/null | grep -q system:capture_4 && break; sleep 0.1; done
}

# ---- Icecast and its sources ----

ice_port=$(free_port)
ice_url="http://127.0.0.1:$ice_port"
# Icecast's usual burst on connecting; no source timeout, so that a stalled source stays connected.
cat > "$work/ice/icecast.xml" <<XML
<icecast><limits><clients>100</clients><sources>8</sources><burst-size>65536</burst-size><source-timeout>3600</source-timeout></limits>
<authentication><source-password>soak</source-password><admin-user>admin</admin-user><admin-password>soak</admin-password></authentication>
<hostname>127.0.0.1</hostname><location>soak</location><admin>soak@localhost</admin>
<listen-socket><port>$ice_port</port><bind-address>127.0.0.1</bind-address></listen-socket>
<paths><basedir>/usr/share/icecast2</basedir><logdir>$work/ice/log</logdir><webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel></logging>
<security><chroot>0</chroot><changeowner><user>icecast2</user><group>$(id -gn icecast2)</group></changeowner></security></icecast>
XML
feeder_start() {
    python3 "$tool" feed --port "$ice_port" --password soak --mount "$1" --file "$work/feed/sine.mp3" \
        2>> "$work/feed/$1.log" &
    echo $! > "$work/feed/$1.pid"
    for _ in $(seq 100); do
        [ "$(curl -s -o /dev/null -m 1 -w '%{http_code}' "$ice_url/$1.mp3" || true)" = 200 ] && return 0
        sleep 0.1
    done
    echo "mount $1 did not come up" >&2
    return 1
}

# ---- the faults ----

# kill_encoder FOLDER: SIGKILL to the logger's encoder child writing into FOLDER; prints what it did.
kill_encoder() {
    local c cmd
    for c in $(pgrep -P "$pid"); do
        cmd=$(tr '\0' ' ' < "/proc/$c/cmdline" 2> /dev/null || true)
        if [[ "$cmd" == *"$1/"* ]]; then
            kill -KILL "$c" && { echo "killed $(basename "${cmd%% *}") $c"; return 0; }
        fi
    done
    echo "no encoder running"
    return 1
}

# fault START KIND TARGET LENGTH SLOTS: injects one fault START s after the logger was
# ready, ends it LENGTH s later, then records it and whether the logger came through.
fault() {
    set +e
    local kind=$2 target=$3 len=$4 slots=$5 t0 t1 outage=0 injected=1 note="" dir
    sleep_until "$(awk -v r="$ready" -v s="$1" 'BEGIN { printf "%.3f", r + s }')"
    [[ "$target" =~ ^[0-9]+$ ]] && dir="$work/rec/slot$(printf '%02d' "$target")"
    t0=$(now)
    case $kind in
    encoder_kill)
        note=$(kill_encoder "$dir") || injected=0
        ;;
    pulse_restart)
        outage=1
        pulse_stop
        sleep "$len"
        pulse_start
        ;;
    jack_restart)
        outage=1
        stop_pid jackd
        sleep "$len"
        jack_start
        ;;
    stream_stall)
        outage=1
        kill -STOP "$(pid_of "feed/$target")" || injected=0
        sleep "$len"
        kill -CONT "$(pid_of "feed/$target")"
        ;;
    stream_close)
        outage=1
        stop_pid "feed/$target"
        sleep "$len"
        feeder_start "$target"
        ;;
    readonly)
        # A bind mount of the folder onto itself, read-only: root ignores file modes.
        if mount --bind "$dir" "$dir" && mount -o remount,ro,bind "$dir"; then
            sleep 5
            note="read-only; $(kill_encoder "$dir")"
            sleep "$(awk -v l="$len" 'BEGIN { print l - 5 }')"
        else
            injected=0
        fi
        while mountpoint -q "$dir"; do umount "$dir" 2> /dev/null || umount -l "$dir"; done
        ;;
    disk_full)
        dd if=/dev/zero of="$dir/.fill" bs=1M status=none 2> /dev/null
        dd if=/dev/zero of="$dir/.fill-pages" bs=4k status=none 2> /dev/null
        note="$(df --output=avail -B1 "$dir" | tail -1 | tr -d ' ') bytes left"
        sleep "$len"
        rm -f "$dir/.fill" "$dir/.fill-pages"
        ;;
    hung_folder)
        outage=1 # its encoder cannot write: what it is handed meanwhile is dropped
        kill -STOP "$(pid_of bindfs)" || injected=0
        note=$(python3 "$tool" status_latency --port "$web_port" --seconds "$len")
        kill -CONT "$(pid_of bindfs)"
        ;;
    catalogue_lock)
        python3 "$tool" lock --db "$dir/RudazOdudad.db" --seconds "$len" || injected=0
        ;;
    web_burst)
        note=$(python3 "$tool" burst --work "$work" --port "$web_port" --seconds "$len" --out "$work/burst.json")
        ;;
    esac
    t1=$(now)
    python3 "$tool" recovered --work "$work" --kind "$kind" --target "$target" --slots "$slots" --note "$note" \
        --log "$work/faults.jsonl" --pid "$pid" --port "$web_port" --start "$t0" --end "$t1" \
        --outage "$outage" --injected "$injected"
}

# ---- the run ----

web_port=$(free_port)
{ read -r tmpfs_dir; read -r -a mounts; read -r hung_dir; } < <(python3 "$tool" layout --work "$work" --port "$web_port" \
    --icecast "$ice_url" --ini "$work/data/RudazOdudad.ini")
icecast2 -c "$work/ice/icecast.xml" > /dev/null 2>&1 &
echo $! > "$work/icecast.pid"
until curl -sf -o /dev/null "$ice_url/status-json.xsl"; do sleep 0.1; done
# 128 kbit/s at 48 kHz: every frame has the same size, so the sources pace by frames.
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=30" -ac 2 -c:a libmp3lame \
    -b:a 128k -write_xing 0 -id3v2_version 0 "$work/feed/sine.mp3"
for m in "${mounts[@]}"; do feeder_start "$m"; done
pulse_start
jack_start
mkdir -p "$tmpfs_dir"
# A little over the 1 GB cleanup limit, so that only the filling makes the slot short of space.
mount -t tmpfs -o size=1100m rudazsoak "$tmpfs_dir"
mkdir -p "$hung_dir" "$work/hung-real"
bindfs -f "$work/hung-real" "$hung_dir" 2>> "$work/bindfs.log" &
echo $! > "$work/bindfs.pid"
for _ in $(seq 100); do mountpoint -q "$hung_dir" && break; sleep 0.1; done

RUDAZODUDAD_DATA_DIR="$work/data" "$bin" 2> "$work/logger.log" &
pid=$!
python3 "$tool" watch --work "$work" --pid "$pid" --out "$work/watch.jsonl" &
watcher=$!
for _ in $(seq 600); do grep -q 'slots ready' "$work/logger.log" && break; sleep 0.05; done
grep -q 'slots ready' "$work/logger.log" || { cat "$work/logger.log" >&2; exit 1; }
ready=$(now)
sleep 5
if grep -E 'Invalid device|Recording error|Error recording from' "$work/logger.log" >&2; then
    echo "a slot has no input at start" >&2
    exit 1
fi

schedule=$(python3 "$tool" schedule --seed "$seed" --seconds "$seconds" --kinds "$faults")
scheduled=0
while read -r start kind target len slots; do
    [ -n "$start" ] || continue
    fault "$start" "$kind" "$target" "$len" "$slots" &
    fault_jobs+=($!)
    scheduled=$((scheduled + 1))
done <<< "$schedule"

sleep_until "$(awk -v r="$ready" -v s="$seconds" 'BEGIN { printf "%.3f", r + s }')"
# Their recovery checks may run past the end; with no faults, wait would wait for the servers.
[ ${#fault_jobs[@]} -eq 0 ] || wait "${fault_jobs[@]}" 2> /dev/null || true
fault_jobs=()
rss_end=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2> /dev/null || true)
term=$(now)
killed_at=
kill -TERM "$pid" 2> /dev/null || true
for _ in $(seq 600); do running "$pid" || break; sleep 0.1; done
if running "$pid"; then
    echo "the logger did not end within 60 s of SIGTERM" >&2
    if command -v gdb > /dev/null; then
        gdb -p "$pid" -batch -ex 'thread apply all bt' 2> /dev/null > "$work/hang-stacks.txt" || true
        echo "its main thread (all threads in $work/hang-stacks.txt):" >&2
        awk '/^Thread 1 /,0' "$work/hang-stacks.txt" >&2
    fi
    # It went on recording until killed, so that is where its inputs' time ends.
    killed_at=$(now)
    SOAK_KEEP=1 # for the stacks
    kill -KILL "$pid"
fi
status=0
wait "$pid" || status=$?
shutdown=$(awk -v t="$term" -v n="$(now)" 'BEGIN { printf "%.1f", n - t }')
pid=
wait "$watcher" 2> /dev/null || true

echo "logger messages:" >&2
grep -oE 'Encoder error|Error updating database|Error recording from|Error deleting|Deleted|dropped' "$work/logger.log" |
    sort | uniq -c >&2 || true
python3 "$tool" analyse --work "$work" --ready "$ready" --term "$term" ${rss_end:+--rss-end "$rss_end"} \
    ${killed_at:+--killed-at "$killed_at"} \
    --shutdown "$shutdown" --exit-status "$status" --scheduled "$scheduled"
