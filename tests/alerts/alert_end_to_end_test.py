#!/usr/bin/env python3
"""A rectifier module's fault on the simulator, through a real Prometheus with the shipped rules and a real
Alertmanager, to a webhook receiver in this test: the alert arrives firing with the site, system, data id and
the alarm's text, and resolved once the fault ends.

Usage: alert_end_to_end_test.py VOKA_HOST RULES.yml EXAMPLE_SCENARIO.json
Everything listens on free loopback ports, with configuration and data in a temporary folder. Fails, naming
it, when prometheus (package prometheus) or prometheus-alertmanager is missing."""
import http.server
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SITE = "e2e-site"
SYSTEM = "hall"
FAULTY_MODULE = 1
FAULT_ROUNDS = (8, 24)  # at about two rounds a second: firing for some 8 s
DEADLINE_S = 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Webhook(http.server.BaseHTTPRequestHandler):
    """Alertmanager's webhook notifications, each alert of each one put on `alerts` as (status, alert)."""
    alerts = queue.Queue()

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        for alert in body["alerts"]:
            self.alerts.put((alert["status"], alert))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def wait_ready(url, process, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError(f"{what} stopped (exit {process.returncode}): {process.stdout.read()[-2000:]}")
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                if r.status == 200:
                    return
        except OSError:
            time.sleep(0.2)
    raise AssertionError(f"{what} not ready at {url} within 30 s")


def write_files(work, rules, example, ports):
    with open(example, encoding="utf-8") as f:
        scenario = json.load(f)
    # Only the module's fault: no other alarm, no damaged answers.
    first, last = FAULT_ROUNDS
    scenario["changes"] = [{"from_round": first, "until_round": last,
                            "set": {f"modules[{FAULTY_MODULE}].fault": 1, f"modules[{FAULTY_MODULE}].current": 0}}]
    scenario["faults"] = []
    scenario["equipment"]["baud_rate"] = 115200
    with open(os.path.join(work, "scenario.json"), "w") as f:
        json.dump(scenario, f)
    with open(os.path.join(work, "site.json"), "w") as f:
        json.dump({"http": {"listen": f"127.0.0.1:{ports['voka']}"},
                   "power_systems": [{"name": SYSTEM, "data_id": 1, "scenario": "scenario.json",
                                      "poll_interval_ms": 500, "acSetting": [{"data_id": 11}],
                                      "dcSetting": [{"data_id": 21}], "rcSetting": {}}]}, f)
    with open(os.path.join(work, "prometheus.yml"), "w") as f:
        json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                   "rule_files": [rules],
                   "alerting": {"alertmanagers": [{"static_configs": [{"targets": [f"127.0.0.1:{ports['am']}"]}]}]},
                   "scrape_configs": [{"job_name": "voka", "static_configs": [
                       {"targets": [f"127.0.0.1:{ports['voka']}"], "labels": {"site": SITE}}]}]}, f)
    with open(os.path.join(work, "alertmanager.yml"), "w") as f:
        json.dump({"route": {"receiver": "hook", "group_by": ["alertname", "site", "system", "data_id"],
                             "group_wait": "1s", "group_interval": "1s", "repeat_interval": "1h"},
                   "receivers": [{"name": "hook", "webhook_configs": [
                       {"url": f"http://127.0.0.1:{ports['hook']}/", "send_resolved": True}]}]}, f)


def start(command, work):
    return subprocess.Popen(command, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def next_alert(status, alarm_started_at):
    """The first VokaDeviceAlarm notification with `status` before the deadline."""
    while True:
        left = alarm_started_at + DEADLINE_S - time.monotonic()
        if left <= 0:
            raise AssertionError(f"no {status} VokaDeviceAlarm notification within {DEADLINE_S} s")
        try:
            got, alert = Webhook.alerts.get(timeout=left)
        except queue.Empty:
            continue
        if alert["labels"].get("alertname") == "VokaDeviceAlarm" and got == status:
            return alert


def main():
    voka_host, rules, example = (os.path.abspath(a) for a in sys.argv[1:4])
    alertmanager = shutil.which("prometheus-alertmanager") or shutil.which("alertmanager")
    missing = [name for name, path in (("prometheus (package prometheus)", shutil.which("prometheus")),
                                       ("prometheus-alertmanager", alertmanager)) if not path]
    if missing:
        sys.exit("missing: " + ", ".join(missing) + " (scripts/install-deps.sh)")

    work = tempfile.mkdtemp(prefix="voka-alerts-")
    processes = []
    hook = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Webhook)
    threading.Thread(target=hook.serve_forever, daemon=True).start()
    ports = {"voka": free_port(), "prom": free_port(), "am": free_port(), "hook": hook.server_address[1]}
    try:
        write_files(work, os.path.abspath(rules), example, ports)
        am = start([alertmanager, "--config.file=alertmanager.yml", "--storage.path=am-data",
                    f"--web.listen-address=127.0.0.1:{ports['am']}", "--cluster.listen-address="], work)
        processes.append(am)
        prom = start(["prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=prom-data",
                      f"--web.listen-address=127.0.0.1:{ports['prom']}"], work)
        processes.append(prom)
        wait_ready(f"http://127.0.0.1:{ports['am']}/-/ready", am, "alertmanager")
        wait_ready(f"http://127.0.0.1:{ports['prom']}/-/ready", prom, "prometheus")

        host = start([voka_host, "site.json", "--json", "--db", "history.db"], work)
        processes.append(host)
        alarm = None
        while alarm is None:  # voka-host's own word on the alarm: what the notification must carry
            line = host.stdout.readline()
            if not line:
                raise AssertionError(f"voka-host stopped (exit {host.wait()}) before the module's alarm")
            event = json.loads(line) if line.startswith("{") else {}
            if event.get("event") == "alarm" and event.get("rule_id") == "RC_0" and event.get("state") == "start":
                alarm = event
        alarm_started_at = time.monotonic()
        threading.Thread(target=lambda: [None for _ in host.stdout], daemon=True).start()

        expected = {"alertname": "VokaDeviceAlarm", "site": SITE, "system": SYSTEM, "data_id": str(alarm["data_id"]),
                    "rule_id": "RC_0", "grade": str(alarm["grade"]), "code": alarm["code"], "text": alarm["text"],
                    "severity": "major", "job": "voka"}
        firing = next_alert("firing", alarm_started_at)
        fired_after = time.monotonic() - alarm_started_at
        labels = {k: v for k, v in firing["labels"].items() if k != "instance"}
        if labels != expected:
            raise AssertionError(f"firing alert's labels {labels}, expected {expected}")
        if firing["annotations"].get("text") != alarm["text"] or alarm["text"] not in firing["annotations"]["summary"]:
            raise AssertionError(f"firing alert's annotations {firing['annotations']} lack the text {alarm['text']}")
        resolved = next_alert("resolved", alarm_started_at)
        if resolved["labels"] != firing["labels"]:
            raise AssertionError(f"resolved alert {resolved['labels']} is not the one that fired {firing['labels']}")
        print(f"firing {fired_after:.1f} s after the alarm, resolved "
              f"{time.monotonic() - alarm_started_at:.1f} s after it: {alarm['text']}")
    finally:
        for p in reversed(processes):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        hook.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
