#!/usr/bin/python3
"""The live page in a real browser: headless Chromium (through chromedriver)
loads / from a voka-host polling the embedded simulator, and must show the
simulator's DC voltage, a module current and an active alarm, and draw the
24-hour plot (pixels of the voltage line's colour on the canvas), under the
server's Content-Security-Policy without a violation in the console.
A missing browser or driver is a failure, not a skip.
Usage: page_test.py VOKA_HOST"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

SCENARIO = {
    "equipment": {"baud_rate": 115200},
    "site": {"dc": [{"v": 53.6, "i": 41.2}],
             "modules": [{"current": 14.2}, {"current": 13.9}, {"current": 14.1}]},
    "changes": [{"from_round": 1, "set": {"modules[2].fault": 1}}],
}
VOLTS_COLOUR = (31, 119, 180)  # the voltage line's colour in voka.js


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds):
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last:
                return last
        except Exception as e:  # not up yet
            last = e
        time.sleep(0.25)
    raise AssertionError(f"{what}: not within {seconds} s (last: {last!r})")


def main(host_program):
    work = tempfile.mkdtemp(prefix="voka-page-")
    with open(os.path.join(work, "sim.json"), "w") as f:
        json.dump(SCENARIO, f)
    site = {"history": {"interval_s": 0}, "power_systems": [
        {"name": "hall", "data_id": 1, "scenario": "sim.json", "baud_rate": 115200, "answer_timeout_ms": 300,
         "poll_interval_ms": 200, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]}
    with open(os.path.join(work, "site.json"), "w") as f:
        json.dump(site, f)
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    host = subprocess.Popen([host_program, os.path.join(work, "site.json"), "--json", "--db",
                             os.path.join(work, "h.db"), "--listen", f"127.0.0.1:{port}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    driver = None
    try:
        def rounds_done():
            with urllib.request.urlopen(base + "/api/v1/state", timeout=2) as r:
                state = json.load(r)
            return state["systems"][0]["rounds"] >= 3
        wait_for("three rounds in /api/v1/state", rounds_done, 30)

        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=420,1400"):  # a phone's width
            options.add_argument(arg)
        options.binary_location = "/usr/bin/chromium"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get(base + "/")

        text = lambda: driver.find_element("tag name", "body").text
        for wanted in ("53.6 V", "14.2 A", "fault", "Active alarms (1)", "hall", "ok"):
            wait_for(f"'{wanted}' on the page", lambda: wanted in text(), 20)
        alarm = wait_for("the alarm's start time", lambda: driver.execute_script(
            "const li = document.querySelector('ul.alarms li'); return li && li.textContent;"), 10)
        assert "since" in alarm and "RC_0" in alarm, alarm

        count_pixels = """
            const [r, g, b] = arguments[0];
            const canvas = document.querySelector('section.system canvas');
            if (!canvas || !canvas.width) return 0;
            const d = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            let n = 0;
            for (let i = 0; i < d.length; i += 4)
              if (Math.abs(d[i] - r) < 12 && Math.abs(d[i + 1] - g) < 12 && Math.abs(d[i + 2] - b) < 12 && d[i + 3] > 200) ++n;
            return n;"""
        drawn = wait_for("the voltage line drawn", lambda: driver.execute_script(count_pixels, VOLTS_COLOUR) > 50, 20)
        assert drawn
        points = driver.execute_script(
            "return Chart.getChart(document.querySelector('section.system canvas')).data.datasets.map(d => d.data.length);")
        assert points[0] >= 2 and points[1] >= 2, points
        # The policy the page must live with is really sent, and nothing of
        # the page broke it.
        with urllib.request.urlopen(base + "/", timeout=2) as r:
            policy = r.headers["Content-Security-Policy"] or ""
            assert "script-src 'self'" in policy and "unsafe-inline" not in policy, policy
            assert r.headers["X-Content-Type-Options"] == "nosniff", dict(r.headers)
        with urllib.request.urlopen(base + "/api/v1/state", timeout=2) as r:
            assert r.headers["Cache-Control"] == "no-store", dict(r.headers)
        violations = [e["message"] for e in driver.get_log("browser")
                      if "Content Security Policy" in e["message"] or "Refused to" in e["message"]]
        assert not violations, violations
        print(f"page: values, alarm and plot shown ({points[0]} voltage and {points[1]} current points), "
              "no policy violation")
    finally:
        if driver:
            driver.quit()
        host.send_signal(signal.SIGTERM)
        status = host.wait(10)
        errors = host.stderr.read().decode()
        if status != 0:
            raise AssertionError(f"voka-host exited with {status}: {errors}")


if __name__ == "__main__":
    main(sys.argv[1])
