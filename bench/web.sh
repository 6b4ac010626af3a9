#!/usr/bin/env bash
# The web server on loopback with authentication on: requests per second and
# p99 latency of /ws/slots and of one calendar week from a catalogue of a year
# of hourly rows (8760), measured with wrk; and the download rate of a 60 MB
# recording compared, in the same run, with nginx serving the same file.
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

# wrk_run NAME URL: requests per second and p99 latency in ms.
wrk_run() {
    local out
    out=$(wrk -t2 -c8 -d"${seconds}s" --latency -H "$auth" "$2")
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
