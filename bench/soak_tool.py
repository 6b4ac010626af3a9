#!/usr/bin/env python3
"""Helpers of bench/soak.sh: the slot layout, the fault schedule, a paced
Icecast source, a burst of web requests, the watcher, the recovery check after
each fault and the final analysis of the catalogues and files."""
import argparse
import base64
import collections
import concurrent.futures
import datetime
import http.client
import json
import os
import random
import re
import socket
import sqlite3
import subprocess
import sys
import threading
import time

# One row per slot: input group, device or mount, format, bit rate, sample rate, mode.
LAYOUT = [
    ("pulse", "WASAPI:sine", "mp3", 128, 44100, "stereo"),
    ("pulse", "WASAPI:sine", "ogg", 128, 48000, "stereo"),
    ("pulse", "WASAPI:sine", "wma", 128000, 44100, "stereo"),
    ("pulse", "WDM:0", "mp3", 64, 44100, "mono"),  # ALSA's default device, served by PulseAudio
    ("pulse", "WASAPI:sine", "mp3", 128, 48000, "jointstereo"),
    ("jack", "ASIO:0:0", "mp3", 128, 48000, "stereo"),
    ("jack", "ASIO:0:1", "ogg", 128, 48000, "stereo"),
    ("jack", "ASIO:0:0", "wma", 128000, 48000, "stereo"),
    ("jack", "ASIO:0:1", "mp3", 96, 44100, "mono"),
    ("stream", "m0", "mp3", 128, 44100, "stereo"),
    ("stream", "m0", "ogg", 128, 44100, "stereo"),
    ("stream", "m1", "wma", 128000, 44100, "stereo"),
    ("stream", "m1", "mp3", 128, 48000, "jointstereo"),
    ("stream", "m2", "ogg", 96, 48000, "mono"),
    ("stream", "m2", "mp3", 128, 44100, "stereo"),
    ("stream", "m3", "wma", 64000, 48000, "mono"),
]
TMPFS_SLOT = 4  # its folder is a small tmpfs, with cleanup by space on
HUNG_SLOT = 1  # its folder is a bindfs mount whose daemon is stopped for a while
MOUNTS = sorted({dev for group, dev, *_ in LAYOUT if group == "stream"})
AUDIO_EXT = (".mp3", ".ogg", ".wma")
RECOVERY_DEADLINE = 75  # an encoder that died twice is retried after 60 s
FRAME_BYTES, FRAME_SECONDS = 384, 1152 / 48000  # MPEG-1 layer III, 128 kbit/s, 48 kHz: no padding


def folder(work, i):
    return f"{work}/rec/slot{i:02d}"


def now():
    return time.time()


# ---- set-up ----

def cmd_layout(a):
    """Writes the settings file; prints the tmpfs slot's folder and the stream mounts."""
    lines = ["[General]", f"Slots={len(LAYOUT)}", "[Webserver]", "Enabled=on", f"Port={a.port}", "User=",
             "Password=", "CommandExecution=off"]
    for i, (group, dev, fmt, bitrate, rate, mode) in enumerate(LAYOUT):
        lines += [f"[Slot{i}]", f"Name=Soak {i:02d}", f"Folder={folder(a.work, i)}", f"Format={fmt}",
                  f"Bitrate={bitrate}", f"Samplerate={rate}", f"Mode={mode}", "CleanupDaysEnabled=off"]
        if group == "stream":
            lines += ["Source=Stream", f"StreamURL={a.icecast}/{dev}.mp3"]
        else:
            lines += ["Source=Soundcard", f"Device={dev}"]
        lines += ["CleanupSpaceEnabled=on", "CleanupSpace=1"] if i == TMPFS_SLOT else ["CleanupSpaceEnabled=off"]
    with open(a.ini, "w") as f:
        f.write("\n".join(lines) + "\n")
    print(folder(a.work, TMPFS_SLOT))
    print(*MOUNTS)
    print(folder(a.work, HUNG_SLOT))


def slots_of(group, dev=None):
    return [i for i, s in enumerate(LAYOUT) if s[0] == group and (dev is None or s[1] == dev)]


def cmd_schedule(a):
    """Faults with random moments and targets; lines of start, kind, target, length, slots."""
    rng = random.Random(a.seed)
    scale = min(1.0, a.seconds / 600)

    def length(full, least):
        return round(max(least, full * scale), 1)

    stall, close = rng.sample(MOUNTS, 2)
    encoders = [i for i, s in enumerate(LAYOUT) if s[2] != "wma" and i not in (TMPFS_SLOT, HUNG_SLOT)]  # lame, oggenc
    readonly = rng.choice(encoders)
    kills = rng.sample([i for i in encoders if i != readonly], max(2, round(4 * scale)))
    locked = rng.choice([i for i in encoders if i != readonly])
    faults = [
        ("hung_folder", HUNG_SLOT, [HUNG_SLOT], length(45, 15)),
        ("catalogue_lock", locked, [locked], length(30, 10)),
        ("readonly", readonly, [readonly], length(60, 20)),
        ("disk_full", TMPFS_SLOT, [TMPFS_SLOT], length(45, 15)),
        ("stream_stall", stall, slots_of("stream", stall), length(30, 15)),  # past the 10 s no-data timeout
        ("stream_close", close, slots_of("stream", close), length(20, 10)),
        ("pulse_restart", "pulse", slots_of("pulse"), length(10, 5)),
        ("jack_restart", "jack", slots_of("jack"), length(10, 5)),
        ("web_burst", "web", [], length(10, 5)),
    ] + [("encoder_kill", i, [i], 0) for i in kills]
    if a.kinds != "all":
        faults = [f for f in faults if f[0] in a.kinds.split(",")]
    # Faults on the same slot keep apart, so that each one's recovery is seen on its own.
    first, last, margin = min(60, a.seconds / 6), a.seconds - min(RECOVERY_DEADLINE, a.seconds / 3), 20
    placed = []
    for kind, target, slots, dur in faults:
        for _ in range(1000):
            start = round(rng.uniform(first, max(first, last - dur)), 1)
            if all(not set(slots) & set(p[4]) or start > p[0] + p[3] + margin or start + dur + margin < p[0]
                   for p in placed):
                break
        placed.append((start, kind, target, dur, slots))
    for start, kind, target, dur, slots in sorted(placed):
        print(start, kind, target, dur, ",".join(map(str, slots)) or "-")


# ---- the catalogue held by another program ----

def cmd_lock(a):
    """Holds the catalogue with an exclusive transaction for a while, as a reader
    that copies it (a backup, a report) may."""
    conn = sqlite3.connect(a.db, timeout=30, isolation_level=None)
    conn.execute("BEGIN EXCLUSIVE")
    time.sleep(a.seconds)
    conn.execute("COMMIT")
    conn.close()


def cmd_status_latency(a):
    """Asks /ws/status every 200 ms for a while; prints the slowest answer (s) and how many failed."""
    slowest, failed, end = 0.0, 0, time.monotonic() + a.seconds
    while time.monotonic() < end:
        t0 = time.monotonic()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", a.port, timeout=10)
            conn.request("GET", "/ws/status")
            failed += conn.getresponse().status != 200
        except (OSError, http.client.HTTPException):
            failed += 1
        slowest = max(slowest, time.monotonic() - t0)
        time.sleep(max(0.0, 0.2 - (time.monotonic() - t0)))
    print(f"slowest /ws/status {slowest:.2f} s, {failed} failed")


# ---- the stream source ----

def cmd_feed(a):
    """An Icecast source sending an MP3 file in a loop at real time. While it is
    stopped (SIGSTOP) nothing is sent; afterwards it goes on at the present
    moment, as a live encoder would, rather than catching up."""
    data = open(a.file, "rb").read()
    frames = len(data) // FRAME_BYTES
    sock = socket.create_connection(("127.0.0.1", a.port))
    auth = base64.b64encode(f"source:{a.password}".encode()).decode()
    sock.sendall(f"SOURCE /{a.mount}.mp3 HTTP/1.0\r\nAuthorization: Basic {auth}\r\n"
                 "Content-Type: audio/mpeg\r\nice-name: soak\r\n\r\n".encode())
    reply = sock.recv(4096).split(b"\r\n")[0]
    if b" 200" not in reply:
        sys.exit(f"icecast refused the source: {reply!r}")
    t0, sent = time.monotonic(), 0
    while True:
        due = int((time.monotonic() - t0) / FRAME_SECONDS) + 1
        if due - sent > 1 / FRAME_SECONDS:
            sent = due - 1  # was stopped: what fell due meanwhile is never sent
        chunk = bytearray()
        for n in range(sent, due):
            i = n % frames
            chunk += data[i * FRAME_BYTES:(i + 1) * FRAME_BYTES]
        sock.sendall(chunk)
        sent = due
        time.sleep(0.02)


# ---- the web burst ----

def catalogue_rows(path):
    """Rows (id, starttime, duration, filename) of a catalogue, or None when it cannot be read."""
    if not os.path.exists(path):
        return []
    try:
        db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=2)
        try:
            return db.execute("SELECT id, starttime, duration, filename FROM recordings ORDER BY id").fetchall()
        finally:
            db.close()
    except sqlite3.Error:
        return None


def cmd_burst(a):
    """Many clients at once on every route for a while; writes the tally to a JSON file."""
    today = datetime.date.today()
    monday = today - datetime.timedelta(days=today.weekday())
    paths = ["/ws/slots", "/", "/ws/slot/99/list/2020/1/1", "/ws/slot/0/getfile/999999"]
    open_files = set()  # the server refuses the file being written, on purpose
    for i in range(len(LAYOUT)):
        paths += [f"/ws/slot/{i}/weekcalendarevents?start={monday}&end={monday + datetime.timedelta(days=7)}",
                  f"/ws/slot/{i}/list/{today.year}/{today.month}/{today.day}"]
        for row in catalogue_rows(f"{folder(a.work, i)}/RudazOdudad.db") or []:
            paths.append(f"/ws/slot/{i}/getfile/{row[0]}")
            if row[2] is None:
                open_files.add(paths[-1])
    tally, lock, samples = collections.Counter(), threading.Lock(), {}
    stop = time.monotonic() + a.seconds

    def client(address, seed):
        rng = random.Random(seed)
        while time.monotonic() < stop:
            path = rng.choice(paths)
            route = re.sub(r"\d+", "N", path.split("?")[0])
            try:
                conn = http.client.HTTPConnection("127.0.0.1", a.port, timeout=15, source_address=(address, 0))
                conn.request("GET", path)
                reply = conn.getresponse()
                body = reply.read()
                conn.close()
                key = str(reply.status)
                if reply.status == 501 and path in open_files:
                    key = "refused-open-file"
                elif reply.status >= 500:
                    samples.setdefault(f"{route} {key}", body[:200].decode(errors="replace"))
            except (OSError, http.client.HTTPException) as e:
                key = type(e).__name__
                samples.setdefault(f"{route} {key}", str(e)[:200])
            with lock:
                tally[key] += 1

    # Three client addresses, each within the server's per-client limit of 16 connections.
    threads = [threading.Thread(target=client, args=(f"127.0.0.{1 + n % 3}", n)) for n in range(36)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failed = sum(v for k, v in tally.items() if k != "refused-open-file" and (not k.isdigit() or int(k) >= 500))
    with open(a.out, "w") as f:
        json.dump({"requests": sum(tally.values()), "failed": failed, "tally": tally, "failures": samples}, f)
    print(f"{sum(tally.values())} requests, {failed} failed: {dict(tally)}; {samples}")


# ---- watching the logger ----

def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    except (OSError, StopIteration):
        return None


def audio_sizes(path):
    sizes = {}
    for root, _, files in os.walk(path):
        for name in files:
            if name.endswith(AUDIO_EXT):
                try:
                    sizes[os.path.join(root, name)] = os.path.getsize(os.path.join(root, name))
                except OSError:
                    pass
    return sizes


def cmd_watch(a):
    """Every second: whether the logger lives and its RSS; every 5 s the rows of every
    catalogue (to account for recordings that cleanup deletes); in the first 30 s,
    five times a second, when each slot's first file appears."""
    first_file, next_rows, t0 = set(), 0.0, now()
    with open(a.out, "a") as out:
        while True:
            t = now()
            rec = {"t": t, "alive": alive(a.pid), "rss": rss_kib(a.pid)}
            if t >= next_rows:
                next_rows = t + 5
                rec["rows"] = {i: catalogue_rows(f"{folder(a.work, i)}/RudazOdudad.db") for i in range(len(LAYOUT))}
            early = t < t0 + 30
            if early:
                new = [i for i in range(len(LAYOUT)) if i not in first_file and audio_sizes(folder(a.work, i))]
                first_file.update(new)
                if new:
                    rec["first_file"] = new
            out.write(json.dumps(rec) + "\n")
            out.flush()
            if not rec["alive"]:
                return
            time.sleep(0.2 if early else 1)


def cmd_recovered(a):
    """After a fault: whether the logger lives and every affected slot records again
    (its files grow by 8 KiB) within the deadline. Appends the fault's record."""
    slots = [int(s) for s in a.slots.split(",")] if a.slots != "-" else []
    base = {i: audio_sizes(folder(a.work, i)) for i in slots}
    t0, pending, survived, detail = time.monotonic(), set(slots), False, ""
    while True:
        if not alive(a.pid):
            detail = "logger gone"
            break
        for i in list(pending):
            grown = sum(max(0, size - base[i].get(p, 0)) for p, size in audio_sizes(folder(a.work, i)).items())
            if grown >= 8192:
                pending.discard(i)
        if not pending and not slots:
            try:
                conn = http.client.HTTPConnection("127.0.0.1", a.port, timeout=10)
                conn.request("GET", "/ws/slots")
                pending_web = conn.getresponse().status != 200
            except (OSError, http.client.HTTPException):
                pending_web = True
            if not pending_web:
                survived, detail = True, f"web answers after {time.monotonic() - t0:.1f} s"
                break
        elif not pending:
            survived, detail = True, f"recording again after {time.monotonic() - t0:.1f} s"
            break
        if time.monotonic() - t0 > RECOVERY_DEADLINE:
            detail = "not recording again: slots " + ",".join(map(str, sorted(pending))) if pending else "no web"
            break
        time.sleep(1)
    rec = {"kind": a.kind, "target": a.target, "slots": slots, "start": a.start, "end": a.end,
           "outage": a.outage, "injected": a.injected, "survived": survived, "note": a.note, "detail": detail}
    with open(a.log, "a") as f:
        f.write(json.dumps(rec) + "\n")


# ---- the analysis ----

def probe(path):
    """(readable, seconds, header seconds, problem) of an audio file: ffprobe must find
    its audio stream; its length is what decodes (a header may claim more or
    nothing, for a file cut short), counted in samples at 8 kHz."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration:stream=codec_type", "-of", "json",
                        path], capture_output=True, text=True)
    info = json.loads(r.stdout or "{}") if r.returncode == 0 else {}
    if not any(s.get("codec_type") == "audio" for s in info.get("streams", [])):
        return False, 0.0, None, (r.stderr.strip().splitlines() or ["no audio stream"])[-1]
    header = info.get("format", {}).get("duration")
    header = float(header) if header not in (None, "N/A") else None
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-ar", "8000",
                        "-f", "s16le", "-"], capture_output=True)
    errors = r.stderr.decode(errors="replace").strip().splitlines()
    return True, len(r.stdout) / 2 / 8000, header, errors[0] if errors else ""


def merged_overlap(intervals, lo, hi):
    """Seconds of [lo, hi] covered by the union of the intervals."""
    total, reach = 0.0, lo
    for s, e in sorted((max(s, lo), min(e, hi)) for s, e in intervals):
        if e > max(s, reach):
            total += e - max(s, reach)
            reach = e
    return total


def local_epoch(text):
    try:
        return time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))
    except (TypeError, ValueError):
        return None


def cmd_analyse(a):
    faults = [json.loads(line) for line in open(f"{a.work}/faults.jsonl")] if os.path.exists(
        f"{a.work}/faults.jsonl") else []
    watch = [json.loads(line) for line in open(f"{a.work}/watch.jsonl")]
    err = sys.stderr
    first_file = {}
    for rec in watch:
        for i in rec.get("first_file", []):
            first_file.setdefault(i, rec["t"])
    # Every row ever seen, by slot and id, with its last known state.
    seen = collections.defaultdict(dict)
    for rec in watch:
        for i, rows in (rec.get("rows") or {}).items():
            for row in rows or []:
                seen[int(i)][row[0]] = row

    files_all = {i: audio_sizes(folder(a.work, i)) for i in range(len(LAYOUT))}
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        paths = [p for i in files_all for p in files_all[i]]
        probes = dict(zip(paths, pool.map(probe, paths)))

    totals = collections.Counter()
    lost = {}
    print(f"{'slot':>4} {'input':<18} {'fmt':<4} {'delivering':>10} {'recorded':>9} {'deleted':>8} {'lost':>7} "
          f"{'rows':>4} {'phantom':>7} {'mismatch':>8} {'no-dur':>6} {'no-row':>6} {'unreadable':>10}", file=err)
    for i, (group, dev, fmt, *_ ) in enumerate(LAYOUT):
        base = folder(a.work, i)
        rows = catalogue_rows(f"{base}/RudazOdudad.db")
        if rows is None:
            print(f"slot {i}: its catalogue cannot be read", file=err)
            totals["unreadable_catalogues"] += 1
            rows = []
        files = files_all[i]
        recorded = 0.0
        c = collections.Counter()
        row_paths = set()
        for rid, start, duration, name in rows:
            path = os.path.join(base, name.replace("\\", "/"))
            row_paths.add(path)
            readable, seconds, _, why = probes.get(path, (False, 0.0, None, "missing"))
            if path not in files:
                why = "missing"
            if path not in files or not readable or seconds < 0.05:
                why = why if path not in files or not readable else "zero duration"
                c["phantom"] += 1
                print(f"  phantom row: slot {i} id {rid} {name} duration {duration}: {why}", file=err)
                continue
            recorded += seconds
            if duration is None:
                c["no_duration"] += 1
                print(f"  row without duration: slot {i} id {rid} {name} (file {seconds:.2f} s)", file=err)
            elif abs(duration - seconds) > 0.5:
                c["mismatch"] += 1
                print(f"  duration mismatch: slot {i} id {rid} {name}: row {duration:.2f} s, file {seconds:.2f} s",
                      file=err)
        for path in sorted(set(files) - row_paths):
            c["no_row"] += 1
            print(f"  file without row: slot {i} {os.path.relpath(path, base)} ({files[path]} bytes, "
                  f"{probes[path][1]:.2f} s)", file=err)
        for path in files:
            readable, seconds, header, problem = probes[path]
            where = f"slot {i} {os.path.relpath(path, base)} ({files[path]} bytes)"
            if not readable:
                c["unreadable"] += 1
                print(f"  unreadable: {where}: {problem}", file=err)
                continue
            if problem:
                c["decode_errors"] += 1
                print(f"  decoding errors: {where}: {problem}", file=err)
            if header is None or abs(header - seconds) > 0.5:
                c["header_wrong"] += 1
                print(f"  header duration {header} s, {seconds:.2f} s decoded: {where}", file=err)
        # Recordings that cleanup deleted (row and file gone) still count as recorded.
        final_ids = {r[0] for r in rows}
        gone = sorted(row for rid, row in seen[i].items() if rid not in final_ids)
        deleted = 0.0
        for n, (rid, start, duration, name) in enumerate(gone):
            if os.path.exists(os.path.join(base, name.replace("\\", "/"))):
                continue  # a row lost, its file left: counted as a file without row
            if duration is None:
                later = [local_epoch(r[1]) for r in sorted(seen[i].values()) if r[0] > rid]
                duration = (later[0] - local_epoch(start)) if later and later[0] and local_epoch(start) else 0.0
            deleted += duration
        begin = first_file.get(i, a.ready)
        # A logger that hung on SIGTERM went on recording in the slots it had not yet finished.
        end = a.killed_at if a.killed_at and rows and rows[-1][2] is None else a.term
        outages = [(f["start"], f["end"]) for f in faults if f["outage"] and i in f["slots"]]
        delivering = (end - begin) - merged_overlap(outages, begin, end)
        lost[i] = delivering - recorded - deleted
        totals.update(c)
        print(f"{i:>4} {group + ' ' + dev:<18} {fmt:<4} {delivering:>10.1f} {recorded:>9.1f} {deleted:>8.1f} "
              f"{lost[i]:>7.1f} {len(rows):>4} {c['phantom']:>7} {c['mismatch']:>8} {c['no_duration']:>6} "
              f"{c['no_row']:>6} {c['unreadable']:>10}", file=err)

    print("faults:", file=err)
    for f in sorted(faults, key=lambda f: f["start"]):
        print(f"  {f['start'] - a.ready:7.1f} s +{f['end'] - f['start']:5.1f} s {f['kind']:<14} {str(f['target']):<6} "
              f"slots {','.join(map(str, f['slots'])) or '-':<20} injected={int(f['injected'])} "
              f"survived={int(f['survived'])} {f['note']} {f['detail']}", file=err)
    if len(faults) != a.scheduled:
        print(f"  {a.scheduled - len(faults)} scheduled faults left no record", file=err)

    before_term = [r for r in watch if r["t"] < a.term]
    died = int(any(not r["alive"] for r in before_term))
    minute = next((r["rss"] for r in watch if r["t"] >= a.ready + 60 and r["rss"]), None)
    injected = [f for f in faults if f["injected"]]
    print(f"RESULT faults_injected {len(injected)} count")
    print(f"RESULT faults_survived {sum(1 for f in injected if f['survived'])} count")
    for i in range(len(LAYOUT)):
        print(f"RESULT audio_lost_slot{i} {lost[i]:.1f} s")
    print(f"RESULT audio_lost_max {max(lost.values()):.1f} s")
    print(f"RESULT audio_lost_total {sum(lost.values()):.1f} s")
    print(f"RESULT phantom_rows {totals['phantom']} count")
    print(f"RESULT duration_mismatch_rows {totals['mismatch']} count")
    print(f"RESULT rows_without_duration {totals['no_duration']} count")
    print(f"RESULT files_without_row {totals['no_row']} count")
    print(f"RESULT unreadable_files {totals['unreadable']} count")
    print(f"RESULT files_with_decoding_errors {totals['decode_errors']} count")
    print(f"RESULT files_with_wrong_header_duration {totals['header_wrong']} count")
    if totals["unreadable_catalogues"]:
        print(f"RESULT unreadable_catalogues {totals['unreadable_catalogues']} count")
    if os.path.exists(f"{a.work}/burst.json"):
        burst = json.load(open(f"{a.work}/burst.json"))
        print(f"RESULT web_burst_requests {burst['requests']} count")
        print(f"RESULT web_burst_failed_requests {burst['failed']} count")
    print(f"RESULT logger_died {died} count")
    print(f"RESULT shutdown_time {a.shutdown:.1f} s")
    print(f"RESULT shutdown_exit_status {a.exit_status} code")
    if minute and a.rss_end:
        print(f"RESULT rss_first_minute {minute / 1024:.1f} MiB")
        print(f"RESULT rss_end {a.rss_end / 1024:.1f} MiB")
        print(f"RESULT rss_growth {(a.rss_end - minute) / minute * 100:.1f} %")


def main():
    p = argparse.ArgumentParser(description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("layout")
    s.add_argument("--work", required=True)
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--icecast", required=True)
    s.add_argument("--ini", required=True)
    s = sub.add_parser("schedule")
    s.add_argument("--seed", type=int, required=True)
    s.add_argument("--seconds", type=float, required=True)
    s.add_argument("--kinds", default="all")
    s = sub.add_parser("feed")
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--password", required=True)
    s.add_argument("--mount", required=True)
    s.add_argument("--file", required=True)
    s = sub.add_parser("burst")
    s.add_argument("--work", required=True)
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--seconds", type=float, required=True)
    s.add_argument("--out", required=True)
    s = sub.add_parser("lock")
    s.add_argument("--db", required=True)
    s.add_argument("--seconds", type=float, required=True)
    s = sub.add_parser("status_latency")
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--seconds", type=float, required=True)
    s = sub.add_parser("watch")
    s.add_argument("--work", required=True)
    s.add_argument("--pid", type=int, required=True)
    s.add_argument("--out", required=True)
    s = sub.add_parser("recovered")
    for name in ("work", "kind", "target", "slots", "note", "log"):
        s.add_argument(f"--{name}", required=True)
    s.add_argument("--pid", type=int, required=True)
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--start", type=float, required=True)
    s.add_argument("--end", type=float, required=True)
    s.add_argument("--outage", type=int, required=True)
    s.add_argument("--injected", type=int, required=True)
    s = sub.add_parser("analyse")
    s.add_argument("--work", required=True)
    s.add_argument("--ready", type=float, required=True)
    s.add_argument("--term", type=float, required=True)
    s.add_argument("--rss-end", type=int)
    s.add_argument("--killed-at", type=float)
    s.add_argument("--shutdown", type=float, required=True)
    s.add_argument("--exit-status", required=True)
    s.add_argument("--scheduled", type=int, required=True)
    a = p.parse_args()
    globals()["cmd_" + a.command](a)


if __name__ == "__main__":
    main()
