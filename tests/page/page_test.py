#!/usr/bin/python3
"""The live page in a real browser: headless Chromium (through chromedriver)
loads / from a voka-host polling two systems on the embedded simulator, once
in a 1280x800 window and once with a phone's 390x844 viewport (Chromium's
device emulation), and must show at both sizes:
- an overview line for each system, the one whose line went silent marked
  stale, and that system's values greyed with their age;
- the simulator's values, the active alarm, and an alarm that started and
  ended in the alarm log table with its end;
- the line health with the retried command and the failure in words;
- no horizontal scroll (document scrollWidth within the window);
- each range button redrawing every plot with at most 1,000 points per
  dataset over a history filled to 7 days before the start;
under the server's Content-Security-Policy without a violation in the
console. Screenshots of both sizes go to SCREENSHOT_DIR. A missing browser
or driver is a failure, not a skip.
Usage: page_test.py VOKA_HOST SCREENSHOT_DIR"""
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

HALL = {  # module 2 faulty all along; module 1 faulty in rounds 1-3 only; one damaged answer, retried, in round 2
    "equipment": {"baud_rate": 115200},
    "site": {"dc": [{"v": 53.6, "i": 41.2}],
             "modules": [{"current": 14.2}, {"current": 13.9}, {"current": 14.1}]},
    "changes": [{"from_round": 1, "set": {"modules[2].fault": 1}},
                {"from_round": 1, "until_round": 3, "set": {"modules[1].fault": 1}}],
    "faults": [{"kind": "bad_checksum", "from_round": 2, "until_round": 2, "cid1": "0x42", "cid2": "0x42",
                "answers": 1}],
}
YARD = {  # answers two rounds, then not at all: stale
    "equipment": {"baud_rate": 115200},
    "site": {"dc": [{"v": 48.2, "i": 7.5}], "modules": [{"current": 3.5}]},
    "faults": [{"kind": "no_answer", "from_round": 3}],
}
VOLTS_COLOUR = (31, 119, 180)  # the first series' colour in voka.js
SIZES = [("desktop", 1280, 800, False), ("phone", 390, 844, True)]
WEEK_S = 7 * 86400
FILLED_EVERY_S = 60  # a week at this step: 10,080 rows per device, more than a plot's 1,000 points


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


def get(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.headers, r.read().decode()


def fill_week(db_path):
    """Every device's first image repeated back over the last week."""
    now = int(time.time())
    with sqlite3.connect(db_path) as db:
        seeds = db.execute("SELECT data_id, record_type, device_type, image FROM history "
                           "WHERE row IN (SELECT min(row) FROM history GROUP BY data_id, record_type)").fetchall()
        assert seeds, "the first run stored no image"
        db.executemany("INSERT INTO history (data_id, record_type, device_type, time, image) VALUES (?, ?, ?, ?, ?)",
                       [(d, r, t, now - age, img) for d, r, t, img in seeds
                        for age in range(WEEK_S, 60, -FILLED_EVERY_S)])


def check_size(driver, base, label, width, height, shots):
    script = driver.execute_script

    # Overview: both systems, yard stale, with text and a link to its card.
    lines = wait_for("two overview lines", lambda: script(
        "return [...document.querySelectorAll('.overview-line')].map(l => l.textContent)"), 20)
    assert len(lines) == 2 and lines[0].startswith("hall") and lines[1].startswith("yard"), lines
    wait_for("yard stale in the overview", lambda: "stale" in script(
        "return document.querySelectorAll('.overview-line')[1].textContent"), 30)
    target = script("return document.querySelectorAll('.overview-line a')[1].getAttribute('href')")
    assert script("return document.querySelector(arguments[0]).dataset.system", target) == "yard", target

    # Values: hall's fresh, yard's greyed with their age.
    hall = lambda: script("return document.querySelector('section[data-system=hall]').innerText")
    for wanted in ("53.6 V", "14.2 A", "fault", "Active alarms (1)"):
        wait_for(f"'{wanted}' on hall's card", lambda: wanted in hall(), 20)
    yard_dc = script("return document.querySelector('section[data-system=yard] .dc').textContent")
    assert "48.2 V" in yard_dc and " ago" in yard_dc, yard_dc
    colour = script("return getComputedStyle(document.querySelector('section[data-system=yard] .dc')).color")
    assert colour != script("return getComputedStyle(document.querySelector('section[data-system=hall] .dc')).color"), \
        "a stale value looks like a fresh one"

    # The alarm that came and went, with its end.
    _, body = get(base + "/api/v1/alarms?since=1h")
    ended = [a for a in json.loads(body)["alarms"] if not a["active"] and a["data_id"] == 1]
    assert ended, body
    row = wait_for("the ended alarm in the log table", lambda: script("""
        for (const tr of document.querySelectorAll('table.alarm-log tbody tr')) {
          const cells = [...tr.children].map(td => td.textContent);
          if (cells[3].startsWith(arguments[0]) && cells[1] !== 'active') return cells;
        }
        return null;""", ended[0]["text"]), 20)
    assert row[5] == "cleared" and row[2].endswith("s"), row

    # Line health: the retry and the checksum failure in words.
    health = script("""
        const card = document.querySelector('section[data-system=hall]');
        const rows = [...card.querySelectorAll('table.health tbody tr')].map(tr => [...tr.children].map(td => td.textContent));
        return {rows, failure: card.querySelector('.last-failure').textContent};""")
    retries = [r for r in health["rows"] if r[0] == "retries"]
    assert retries and int(retries[0][2]) >= 1, health
    assert "checksum" in health["failure"], health

    # Each range redraws every plot with at most 1,000 points per dataset.
    for key, span_s in (("1h", 3600), ("7d", WEEK_S), ("24h", 86400)):
        script("document.querySelector(`section[data-system=hall] .ranges button[data-range='${arguments[0]}']`).click()",
               key)
        wait_for(f"the {key} plots drawn", lambda: script(
            "return document.querySelector('section[data-system=hall]').dataset.plotted") == key, 20)
        plots = script("""
            return [...document.querySelectorAll('section[data-system=hall] canvas')].map(c => {
              const chart = Chart.getChart(c);
              return {lengths: chart.data.datasets.map(d => d.data.length),
                      span: (chart.options.scales.x.max - chart.options.scales.x.min) / 1000};
            });""")
        assert len(plots) == 3, plots  # DC, AC, modules
        for p in plots:
            assert p["lengths"] and max(p["lengths"]) <= 1000, (key, p)
            assert abs(p["span"] - span_s) < 120, (key, p)
        if key != "1h":  # a filled range is reduced, not cut
            assert max(plots[0]["lengths"]) > 100, (key, plots[0])

    count_pixels = """
        const [r, g, b] = arguments[0];
        const canvas = document.querySelector('section[data-system=hall] canvas');
        if (!canvas || !canvas.width) return 0;
        const d = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4)
          if (Math.abs(d[i] - r) < 12 && Math.abs(d[i + 1] - g) < 12 && Math.abs(d[i + 2] - b) < 12 && d[i + 3] > 200) ++n;
        return n;"""
    wait_for("the voltage line drawn", lambda: script(count_pixels, VOLTS_COLOUR) > 50, 20)

    # Nothing wider than the window, in the page or inside a card.
    widths = script("return [document.documentElement.scrollWidth, window.innerWidth, "
                    "Math.max(...[...document.querySelectorAll('section, .panel, table')].map(e => e.scrollWidth - e.clientWidth))]")
    assert widths[1] == width, widths
    assert widths[0] <= widths[1], f"{label}: the page scrolls sideways: {widths}"
    assert widths[2] <= 0, f"{label}: something scrolls sideways inside a card: {widths}"

    script("window.scrollTo(0, 0)")
    shot = os.path.join(shots, f"live-page-{label}-{width}x{height}.png")
    full = script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": max(height, full), "deviceScaleFactor": 1, "mobile": label == "phone"})
    driver.save_screenshot(shot)
    return shot


def main(host_program, shots):
    os.makedirs(shots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="voka-page-")
    for name, scenario in (("hall", HALL), ("yard", YARD)):
        with open(os.path.join(work, f"{name}.json"), "w") as f:
            json.dump(scenario, f)
    common = {"baud_rate": 115200, "answer_timeout_ms": 300, "poll_interval_ms": 200}
    site = {"name": "North exchange", "history": {"interval_s": 0}, "power_systems": [
        dict(common, name="hall", data_id=1, scenario="hall.json", acSetting=[{"data_id": 11}],
             dcSetting=[{"data_id": 21}], rcSetting={}),
        dict(common, name="yard", data_id=2, scenario="yard.json", retries=0, stale_after_rounds=1,
             dcSetting=[{"data_id": 22}], rcSetting={})]}
    with open(os.path.join(work, "site.json"), "w") as f:
        json.dump(site, f)
    db = os.path.join(work, "h.db")
    subprocess.run([host_program, os.path.join(work, "site.json"), "--rounds", "1", "--db", db],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    fill_week(db)

    port = free_port()
    base = f"http://127.0.0.1:{port}"
    host = subprocess.Popen([host_program, os.path.join(work, "site.json"), "--json", "--db", db,
                             "--listen", f"127.0.0.1:{port}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    driver = None
    try:
        def rounds_done():
            state = json.loads(get(base + "/api/v1/state")[1])
            return state["systems"][0]["rounds"] >= 5
        wait_for("five rounds of hall in /api/v1/state", rounds_done, 30)

        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1280,800", "--hide-scrollbars"):
            options.add_argument(arg)
        options.binary_location = "/usr/bin/chromium"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        made = []
        for label, width, height, mobile in SIZES:
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
            driver.get(base + "/")
            # The title comes with the first state the page fetches, not with the page itself.
            wait_for("the site's name in the title", lambda: driver.execute_script(
                "return document.title").startswith("North exchange"), 20)
            made.append(check_size(driver, base, label, width, height, shots))

        # The CSV link is the export's.
        href = driver.execute_script("return document.querySelector('section[data-system=hall] a.csv').href")
        headers, csv = get(href)
        assert headers["Content-Type"].startswith("text/csv") and csv.startswith("time,"), (href, csv[:200])
        # The policy the page must live with is really sent, and nothing of
        # the page broke it.
        headers, _ = get(base + "/")
        policy = headers["Content-Security-Policy"] or ""
        assert "script-src 'self'" in policy and "unsafe-inline" not in policy, policy
        assert headers["X-Content-Type-Options"] == "nosniff", dict(headers)
        assert get(base + "/api/v1/state")[0]["Cache-Control"] == "no-store"
        violations = [e["message"] for e in driver.get_log("browser")
                      if "Content Security Policy" in e["message"] or "Refused to" in e["message"]]
        assert not violations, violations
        print("page: overview, stale system, alarm log, line health, ranges and no sideways scroll at both sizes; "
              "screenshots: " + ", ".join(made))
    finally:
        if driver:
            driver.quit()
        host.send_signal(signal.SIGTERM)
        status = host.wait(10)
        errors = host.stderr.read().decode()
        if status != 0:
            raise AssertionError(f"voka-host exited with {status}: {errors}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
