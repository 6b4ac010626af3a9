#!/usr/bin/env bash
# The web server on loopback with authentication on: requests per second and
# p99 latency of /ws/slots and of one calendar week from a catalogue of a year
# of hourly rows (8760), measured with wrk; the download rate of a 60 MB
# recording compared, in the same run, with nginx serving the same file; a
# clip of one hour across two hour files (time to the first byte and in all)
# compared with ffmpeg copying the same span out of the same files; and 8
# listeners seeking at random in one hour file (requests per second, p99).
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build rudazodudad
bin="$PWD/$build/app/rudazodudad"
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT
seconds=${BENCH_SECONDS:-10}
downloads=${BENCH_DOWNLOADS:-10}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# A year of hourly recordings from 2011-01-01, and one real 60 MB file.
folder="$work/slot0"
mkdir -p "$folder" "$work/files"
head -c $((60 * 1024 * 1024)) /dev/urandom > "$folder/big.mp3"
cp "$folder/big.mp3" "$work/files/big.mp3"
sqlite3 "$folder/RudazOdudad.db" <<'SQL'
CREATE TABLE recordings (id INTEGER PRIMARY KEY AUTOINCREMENT, starttime TIMESTAMP NOT NULL,
                         duration REAL DEFAULT NULL, filename VARCHAR NOT NULL);
WITH RECURSIVE h(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM h WHERE n < 8759)
INSERT INTO recordings (starttime, duration, filename)
SELECT strftime('%Y-%m-%d %H:%M:%S', '2011-01-01 00:00:00', '+' || n || ' hours'), 3599.98,
       strftime('%Y/%m/%d/%Y-%m-%d-%H-%M-%S.mp3', '2011-01-01 00:00:00', '+' || n || ' hours') FROM h;
INSERT INTO recordings (starttime, duration, filename) VALUES ('2012-01-01 00:00:00', 3600, 'big.mp3');
SQL
big_id=$(sqlite3 "$folder/RudazOdudad.db" "SELECT id FROM recordings WHERE filename='big.mp3'")
# Two hours of a tone, encoded as a slot records them, one file an hour.
for hour in 10 11; do
    ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=3600" -ac 2 -f s16le - |
        lame --quiet --flush -m s -r -s 48000 -b 128 - "$folder/hour$hour.mp3" 2>/dev/null
    sqlite3 "$folder/RudazOdudad.db" \
        "INSERT INTO recordings (starttime, duration, filename) VALUES ('2012-02-01 $hour:00:00', 3600, 'hour$hour.mp3')"
done
hour_id=$(sqlite3 "$folder/RudazOdudad.db" "SELECT id FROM recordings WHERE filename='hour10.mp3'")

port=$(free_port)
hash=$(printf '%s' 'DededuvAdiroRovodavbench-pw' | md5sum | cut -c1-32 | tr a-f A-F)
printf '[General]\nSlots=1\n[Webserver]\nEnabled=on\nPort=%s\nUser=bench\nPassword=%s\n[Slot0]\nName=Bench\nFolder=%s\nCleanupDaysEnabled=off\nCleanupSpaceEnabled=off\n' \
    "$port" "$hash" "$folder" > "$work/RudazOdudad.ini"
RUDAZODUDAD_DATA_DIR="$work" "$bin" 2> "$work/log" &
pids+=($!)
until grep -q 'Web server started' "$work/log" 2>/dev/null; do
    grep -q 'Error starting web server' "$work/log" 2>/dev/null && { cat "$work/log" >&2; exit 1; }
    sleep 0.05
done
auth="Authorization: Basic $(printf 'bench:bench-pw' | base64)"
base="http://127.0.0.1:$port"
[ "$(curl -s -o /dev/null -w '%{http_code}' -H "$auth" "$base/ws/slots")" = 200 ] || { echo "not admitted" >&2; exit 1; }
week="$base/ws/slot/0/weekcalendarevents?start=2011-3-7&end=2011-3-14"
n=$(curl -s -H "$auth" "$week" | grep -c "\"id\"" || true)
[ "$n" = 168 ] || { echo "the week has $n rows, not 168" >&2; curl -s -H "$auth" "$week" | head -c 300 >&2; exit 1; }

# wrk_run NAME URL [wrk options]: requests per second and p99 latency in ms.
wrk_run() {
    local out
    out=$(wrk -t2 -c8 -d"${seconds}s" --latency -H "$auth" "${@:3}" "$2")
    if echo "$out" | grep -q 'Non-2xx'; then echo "$out" >&2; exit 1; fi
    echo "$out" | awk -v n="$1" '/^Requests\/sec:/ { printf "RESULT %s_requests_per_second %.0f req/s\n", n, $2 }'
    echo "$out" | awk -v n="$1" '$1 == "99%" {
        v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
        f = (u == "us") ? 0.001 : (u == "s") ? 1000 : (u == "m") ? 60000 : 1
        printf "RESULT %s_p99_latency %.2f ms\n", n, v * f }'
}
wrk_run ws_slots "$base/ws/slots"
wrk_run calendar_week "$week"

# download_rate URL [curl options]: mean MB/s over sequential downloads.
download_rate() {
    local url=$1 total=0 t0 t1 size
    shift
    size=$(stat -c %s "$folder/big.mp3")
    t0=$(date +%s%N)
    for ((i = 0; i < downloads; i++)); do
        got=$(curl -s "$@" -o /dev/null -w '%{size_download}' "$url")
        [ "$got" = "$size" ] || { echo "download of $url gave $got bytes" >&2; exit 1; }
        total=$((total + got))
    done
    t1=$(date +%s%N)
    awk -v b="$total" -v ns="$((t1 - t0))" 'BEGIN { printf "%.1f", b / 1048576 / (ns / 1e9) }'
}

nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
user root; # the work folder is private to the user running the benchmark
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/files;
    }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
until curl -s -o /dev/null "http://127.0.0.1:$nginx_port/big.mp3"; do sleep 0.05; done

ours=$(download_rate "$base/ws/slot/0/getfile/$big_id" -H "$auth")
theirs=$(download_rate "http://127.0.0.1:$nginx_port/big.mp3")
echo "RESULT download_60MB_rate $ours MB/s"
echo "RESULT download_60MB_rate_nginx $theirs MB/s"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "RESULT download_rate_vs_nginx %.2f x\n", a / b }'

# A clip of 10:30-11:30 over both hour files, against ffmpeg's stream copy of
# the same span from the same two files (its concat demuxer joins them).
printf "file '%s'\nfile '%s'\n" "$folder/hour10.mp3" "$folder/hour11.mp3" > "$work/hours.txt"
clip_url="$base/ws/slot/0/clip?start=2012-02-01T10:30:00&end=2012-02-01T11:30:00"
python3 - "$auth" "$clip_url" "$work/hours.txt" <<'PY'
import subprocess, sys, time
auth, url, hours = sys.argv[1:4]
def timed(name, command):
    t0 = time.monotonic()
    p = subprocess.Popen(command, stdout=subprocess.PIPE)
    first = p.stdout.read(1)
    t1 = time.monotonic()
    size = len(first) + sum(len(b) for b in iter(lambda: p.stdout.read(1 << 16), b""))
    t2 = time.monotonic()
    if p.wait() != 0 or size < 1_000_000:
        sys.exit(f"{name} failed ({size} bytes)")
    print(f"RESULT {name}_first_byte {(t1 - t0) * 1000:.0f} ms")
    print(f"RESULT {name}_total {t2 - t0:.2f} s")
timed("clip_1h_two_files", ["curl", "-sf", "-H", auth, url])
timed("clip_1h_two_files_ffmpeg_copy", ["ffmpeg", "-nostdin", "-v", "error", "-ss", "1800", "-t", "3600", "-f", "concat",
                                       "-safe", "0", "-i", hours, "-c", "copy", "-f", "mp3", "-"])
PY

# 8 listeners seeking at random in one hour file: a 64 KiB range each time.
size=$(stat -c %s "$folder/hour10.mp3")
cat > "$work/seek.lua" <<LUA
math.randomseed(42)
request = function()
    local first = math.random(0, $size - 65536)
    wrk.headers["Range"] = "bytes=" .. first .. "-" .. (first + 65535)
    return wrk.format()
end
LUA
wrk_run seek_8_listeners "$base/ws/slot/0/play/$hour_id" -s "$work/seek.lua"
