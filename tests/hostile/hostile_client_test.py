#!/usr/bin/python3
"""voka-host's HTTP side against a hostile client on the loopback: a running
voka-host (the bundled example site on the embedded simulator, basic
authentication on, the hash made by `openssl passwd -6`, a history of 10,000
records of one device) meets, one after the other:

  header_flood    one connection, no credential, header lines of 8,000 bytes, up to 200 MB
  slow_headers    12 connections from one address, each sending a header line every 2 s
  range           2,700 ranges on the chart library, with and without a credential
  history         8 x /api/v1/history?limit=10000 at once
  wrong_passwords 600 wrong passwords

Each attack comes from a loopback address of its own (127.0.0.N) while a
normal client on 127.0.0.1 asks /api/v1/state with the right credential every
50 ms. For each: the status the attack gets, that every normal request is
answered 200 within 1 s meanwhile, and that resident memory stays under
40 MB at its peak during the attack (VmHWM, reset before each) (bounds scaled by --scale for a sanitizer build). A missing
openssl, chart library or voka-host is a failure, not a skip.

Usage: hostile_client_test.py VOKA_HOST [--scale N] [--table]
  --table  run the same attacks without failing and print a table of figures
           (VmRSS before, VmHWM during, status seen, slowest normal request), e.g.
           to compare two builds of voka-host.
"""
import argparse
import base64
import http.client
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

USER, PASSWORD = "monitor", "s3cret-pass"
CHART = "/usr/share/javascript/chart.js/chart.min.js"
MEMORY_BOUND_KB = 40 * 1024
HISTORY_GROWTH_KB = 16 * 1024
NORMAL_WITHIN_S = 1.0
HISTORY_ROWS = 10_000


def basic(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, source, timeout=10):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def get(port, target, source="127.0.0.1", headers=None, timeout=10):
    """(status, body) of one GET; (0, b"") when no answer came."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout, source_address=(source, 0))
    try:
        c.request("GET", target, headers=headers or {})
        r = c.getresponse()
        return r.status, r.read(), dict(r.getheaders())
    except (OSError, http.client.HTTPException):
        return 0, b"", {}
    finally:
        c.close()


class Host:
    """voka-host with the site, its output drained and kept."""

    def __init__(self, program, work, port):
        self.port = port
        self.lines = []
        # Under AddressSanitizer freed memory waits in a quarantine (256 MB by
        # default) and counts as resident: a small one keeps the bound about
        # what voka-host holds. Other builds ignore the variable.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "quarantine_size_mb=16"]))
        self.p = subprocess.Popen([program, os.path.join(work, "site.json"), "--json", "--db",
                                   os.path.join(work, "h.db")],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.serving = threading.Event()
        threading.Thread(target=self._drain, daemon=True).start()
        if not self.serving.wait(30):
            raise AssertionError(f"voka-host did not serve HTTP: {self.lines[-5:]}")

    def _drain(self):
        for line in self.p.stdout:
            self.lines.append(line)
            if "serving HTTP on" in line:
                self.serving.set()

    def memory_kb(self, key):
        with open(f"/proc/{self.p.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def reset_peak(self):
        """VmHWM from now on is this attack's own peak (Linux: 5 to clear_refs)."""
        with open(f"/proc/{self.p.pid}/clear_refs", "w") as f:
            f.write("5")

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        return self.p.wait(10)


class NormalClient:
    """Asks /api/v1/state with the right credential every 50 ms from 127.0.0.1,
    in a process of its own, so that the attack's threads never delay it."""

    def __init__(self, port):
        self.p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--probe", str(port)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.p.stdout.readline().strip() != "ready":
            raise AssertionError("the normal client could not start")

    def stop(self):
        out, _ = self.p.communicate(timeout=30)  # its standard input closed: it ends and reports
        figures = json.loads(out)
        self.slowest, self.answered, self.failed = figures["slowest"], figures["answered"], figures["failed"]


def probe(port):
    """NormalClient's process: asks until its standard input closes, then prints its figures."""
    stop = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    ask = lambda: get(port, "/api/v1/state", headers={"Authorization": basic(USER, PASSWORD)}, timeout=5)[0]
    while ask() != 200:  # once answered, the attack may start
        time.sleep(0.1)
    print("ready", flush=True)
    slowest, answered, failed = 0.0, 0, []
    while not stop.is_set():
        start = time.monotonic()
        status = ask()
        slowest = max(slowest, time.monotonic() - start)
        if status == 200:
            answered += 1
        else:
            failed.append(status)
        stop.wait(0.05)
    print(json.dumps({"slowest": slowest, "answered": answered, "failed": failed}))


# The attacks: each returns (what it saw, in words; whether that is what a
# bounded server answers).

def header_flood(host):
    s = connect(host.port, "127.0.0.2")
    answer = bytearray()

    def read():
        try:
            while True:
                d = s.recv(65536)
                if not d:
                    return
                answer.extend(d)
        except OSError:
            return

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    line = b"X-Flood: " + b"f" * 7989 + b"\r\n"  # 8,000 bytes a line
    sent = 0
    try:
        s.sendall(b"GET /api/v1/state HTTP/1.1\r\nHost: voka\r\n")
        while sent < 200 * 1024 * 1024:
            s.sendall(line)
            sent += len(line)
    except OSError:
        pass
    try:
        s.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    reader.join(10)
    s.close()
    status = answer[9:12].decode(errors="replace") if answer.startswith(b"HTTP/1.") else "none"
    # What the client got into the kernel's buffers before the reset, not what the server kept.
    return f"{status} after {sent / 1e6:.2f} MB sent", status == "431" and sent < 16 * 1024 * 1024


def slow_headers(host):
    count, every_s, duration_s = 12, 2.0, 14.0
    sockets, refused, cut = [], 0, {}
    start = time.monotonic()
    for _ in range(count):
        s = connect(host.port, "127.0.0.3")
        s.setblocking(False)
        sockets.append(s)
    time.sleep(0.3)
    for s in sockets:  # the excess is closed at once
        try:
            if s.recv(1024) == b"":
                refused += 1
                cut[s] = 0.0
        except BlockingIOError:
            pass
        except OSError:
            refused += 1
            cut[s] = 0.0
    n = 0
    while time.monotonic() - start < duration_s:
        for s in sockets:
            if s in cut:
                continue
            try:
                head = b"GET /api/v1/state HTTP/1.1\r\n" if n == 0 else f"X-Slow-{n}: a\r\n".encode()
                s.send(head)
                if s.recv(1024) == b"":
                    cut[s] = time.monotonic() - start
            except BlockingIOError:
                pass
            except OSError:
                cut[s] = time.monotonic() - start
        n += 1
        time.sleep(every_s)
    for s in sockets:
        s.close()
    late = sorted(t for t in cut.values() if t > 0)
    held = count - len(cut)
    seen = (f"{refused} refused at once, {len(late)} cut off "
            f"{f'after {late[0]:.1f}-{late[-1]:.1f} s' if late else ''}, {held} still open after {duration_s:.0f} s")
    return seen, refused == count - 8 and len(late) == 8 and 9.5 <= late[0] and late[-1] <= 12.5


def ranges(host):
    size = os.path.getsize(CHART)
    header = {"Range": "bytes=" + ",".join(["0-"] * 2700)}
    target = "/javascript/chart.js/chart.min.js"
    with_status, with_body, _ = get(host.port, target, "127.0.0.4", {**header, "Authorization": basic(USER, PASSWORD)},
                                    timeout=30)
    without_status, without_body, _ = get(host.port, target, "127.0.0.4", header, timeout=30)
    seen = (f"with a credential {with_status}, {len(with_body):,} bytes; "
            f"without {without_status}, {len(without_body):,} bytes")
    return seen, with_status == 200 and len(with_body) == size and without_status == 401 and len(without_body) < 1000


def history(host):
    results = []
    rss_before = host.memory_kb("VmRSS")
    host.reset_peak()

    def ask():
        status, body, _ = get(host.port, f"/api/v1/history?data_id=1&limit={HISTORY_ROWS}", "127.0.0.5",
                              {"Authorization": basic(USER, PASSWORD)}, timeout=60)
        whole = body.startswith(b'{"data_id":1,"records":[{') and body.endswith(b"}]}\n")
        results.append((status, len(body), body.count(b'"record_type":') if whole else -1))

    threads = [threading.Thread(target=ask) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    growth = host.memory_kb("VmHWM") - rss_before
    statuses = sorted({r[0] for r in results})
    whole = all(r[0] == 200 and r[2] == HISTORY_ROWS for r in results)
    seen = (f"{len(results)} x {statuses}, {max(r[1] for r in results) / 1e6:.1f} MB each, "
            f"{'all' if whole else 'not all'} {HISTORY_ROWS:,} records; peak {growth / 1024:.1f} MB above the start")
    return seen, whole and growth <= HISTORY_GROWTH_KB * host.scale


def wrong_passwords(host):
    statuses = {}
    for i in range(600):
        status, _, headers = get(host.port, "/metrics", "127.0.0.6", {"Authorization": basic(USER, f"guess-{i}")})
        statuses[status] = statuses.get(status, 0) + 1
    _, metrics, _ = get(host.port, "/metrics", headers={"Authorization": basic(USER, PASSWORD)})
    counted = [line for line in metrics.decode().splitlines() if line.startswith("voka_http_auth_failures_total ")]
    logged = [line for line in host.lines if "127.0.0.6" in line]
    seen = (", ".join(f"{n} x {s}" for s, n in sorted(statuses.items())) +
            f"; counted {counted[0].split()[1] if counted else 'nowhere'}; {len(logged)} log line(s)")
    return seen, (statuses == {401: 5, 429: 595} and counted == ["voka_http_auth_failures_total 600"]
                  and len(logged) == 1 and "1 refused credential from 127.0.0.6" in logged[0])


ATTACKS = [header_flood, slow_headers, ranges, history, wrong_passwords]


def prepare(program, work, port):
    """The site file, and a database with HISTORY_ROWS records of device 1 (the rectifiers)."""
    if not shutil.which("openssl"):
        raise AssertionError("openssl is missing (package openssl): it makes the password hash")
    if not os.path.exists(CHART):
        raise AssertionError(f"{CHART} is missing (package libjs-chart.js)")
    password_hash = subprocess.run(["openssl", "passwd", "-6", PASSWORD], check=True, capture_output=True,
                                   text=True).stdout.strip()
    systems = [{"name": "example", "data_id": 1, "poll_interval_ms": 1000, "acSetting": [{"data_id": 11}],
                "dcSetting": [{"data_id": 21}], "rcSetting": {}}]
    with open(os.path.join(work, "seed.json"), "w") as f:
        json.dump({"power_systems": systems}, f)
    with open(os.path.join(work, "site.json"), "w") as f:
        json.dump({"power_systems": systems, "http": {"listen": f"127.0.0.1:{port}",
                                                      "auth": {"user": USER, "password_hash": password_hash}}}, f)
    db = os.path.join(work, "h.db")
    subprocess.run([program, os.path.join(work, "seed.json"), "--rounds", "1", "--db", db], check=True,
                   capture_output=True, timeout=60)
    with sqlite3.connect(db) as c:
        row = c.execute("SELECT data_id, record_type, device_type, image FROM history WHERE data_id = 1 "
                        "ORDER BY row LIMIT 1").fetchone()
        now = int(time.time())
        c.executemany("INSERT INTO history (data_id, record_type, device_type, time, image) VALUES (?, ?, ?, ?, ?)",
                      ((row[0], row[1], row[2], now - 5 * (HISTORY_ROWS - i), row[3]) for i in range(HISTORY_ROWS)))


def main():
    if sys.argv[1:2] == ["--probe"]:
        return probe(int(sys.argv[2]))
    parser = argparse.ArgumentParser()
    parser.add_argument("voka_host")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="the memory and time bounds are multiplied by this (a sanitizer build's own memory "
                             "and slower code)")
    parser.add_argument("--table", action="store_true", help="print figures, do not fail")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="voka-hostile-")
    port = free_port()
    started = time.monotonic()
    failures, rows = [], []
    try:
        prepare(args.voka_host, work, port)
        host = Host(args.voka_host, work, port)
        host.scale = args.scale
        time.sleep(1.5)  # a round or two: the snapshot and the page are ready
        bound = MEMORY_BOUND_KB * args.scale
        for attack in ATTACKS:
            before = host.memory_kb("VmRSS")
            host.reset_peak()
            normal = NormalClient(port)
            start = time.monotonic()
            try:
                seen, as_bounded = attack(host)
            finally:
                time.sleep(max(0.0, start + 0.3 - time.monotonic()))  # a short attack still meets the client
                normal.stop()
            after = host.memory_kb("VmHWM")
            rows.append((attack.__name__, before, after, seen, normal))
            problems = []
            if not as_bounded:
                problems.append(f"saw {seen}")
            if normal.failed or normal.slowest > NORMAL_WITHIN_S * args.scale or normal.answered == 0:
                problems.append(f"normal requests: {normal.answered} answered, failed {normal.failed[:5]}, "
                                f"slowest {normal.slowest:.2f} s")
            if after > bound:
                problems.append(f"VmHWM {after / 1024:.1f} MB, over {bound / 1024:.0f} MB")
            if problems:
                failures.append(f"{attack.__name__}: " + "; ".join(problems))
        status = host.stop()
        if status != 0:
            failures.append(f"voka-host exited with {status}: {''.join(host.lines[-5:])}")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if args.table:
        print(f"{'attack':16} {'VmRSS before':>12} {'VmHWM during':>12} {'slowest normal':>14}  status seen")
        for name, before, after, seen, normal in rows:
            slowest = f"{normal.slowest:.3f} s" + ("" if not normal.failed else f" ({len(normal.failed)} failed)")
            print(f"{name:16} {before / 1024:9.1f} MB {after / 1024:9.1f} MB {slowest:>14}  {seen}")
        print(f"({time.monotonic() - started:.0f} s in all)")
        return 0
    for f in failures:
        print("FAILED", f)
    if failures:
        return 1
    print(f"hostile client: {len(ATTACKS)} attacks bounded ({time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
