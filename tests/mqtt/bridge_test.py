#!/usr/bin/env python3
"""Two sites bridged to a centre, with the README's site-broker configuration: each site has its own mosquitto and
voka-host (embedded simulator); each site broker bridges over TLS, with its own client certificate, to a central
mosquitto; a subscriber at the centre must see both sites' values, alarm lists and `status`. Then the centre stops,
a rectifier module fails at both sites while it is away, the centre starts again, and the subscriber (its
persistent session kept by the centre) must get both alarm starts, once each, and both sites' alarm lists,
status and states.

Usage: bridge_test.py VOKA_HOST README.md EXAMPLE_SCENARIO.json
Everything listens on free loopback ports, in a temporary folder. Fails, naming it, when mosquitto,
mosquitto_sub or openssl is missing."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SITES = ("north", "south")
FAULT_FROM_ROUND = 40  # at about two rounds a second: some 20 s, well after the first check and the centre's stop
WITHIN_S = 40


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(command)}: {done.stderr}")


def make_certificates(work):
    """A CA, the centre's certificate for 127.0.0.1 and a client certificate per site (CN = the site)."""
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
        "-subj", "/CN=voka test CA", "-keyout", "ca.key", "-out", "ca.crt", cwd=work)
    for name, extra in [("centre", ["-addext", "subjectAltName=IP:127.0.0.1"])] + [(s, []) for s in SITES]:
        run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
            f"/CN={'127.0.0.1' if name == 'centre' else name}", *extra, "-keyout", f"{name}.key", "-out",
            f"{name}.csr", cwd=work)
        run("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-copy_extensions", "copy", "-out", f"{name}.crt", cwd=work)


def bridge_block(readme):
    """The README's site-broker configuration: its `conf mosquitto` block with a bridge connection."""
    text = open(readme, encoding="utf-8").read()
    for block in re.findall(r"^```conf mosquitto\n(.*?)^```", text, flags=re.M | re.S):
        if re.search(r"^connection ", block, flags=re.M):
            return block
    raise AssertionError(f"{readme}: no `conf mosquitto` block with a bridge connection")


def site_broker_conf(block, work, site, port, centre_port):
    """The documented block for `site`: its ports, files and folders here; reconnection after 1 s, not the
    documented back-off, so that the test does not wait it out."""
    conf = block.replace("north", site)
    replacements = {"listener": f"{port} 127.0.0.1", "address": f"127.0.0.1:{centre_port}",
                    "bridge_cafile": f"{work}/ca.crt", "bridge_certfile": f"{work}/{site}.crt",
                    "bridge_keyfile": f"{work}/{site}.key", "persistence_location": f"{work}/{site}-broker/",
                    "restart_timeout": "1"}
    for key, value in replacements.items():
        conf, n = re.subn(rf"^{key} .*$", f"{key} {value}", conf, flags=re.M)
        if n != 1:
            raise AssertionError(f"the README's bridge block has {n} `{key}` lines, expected one")
    os.makedirs(f"{work}/{site}-broker")
    os.chmod(f"{work}/{site}-broker", 0o777)  # written by the mosquitto user
    return conf


def centre_conf(work, tls_port, plain_port):
    with open(f"{work}/centre.acl", "w") as f:
        f.write("topic read voka/#\n")  # anonymous: the subscriber on loopback
        for site in SITES:
            f.write(f"user {site}\ntopic write voka/{site}/#\n")
    os.makedirs(f"{work}/centre-broker", exist_ok=True)
    os.chmod(f"{work}/centre-broker", 0o777)
    return "\n".join([
        "persistence true", f"persistence_location {work}/centre-broker/", "allow_anonymous true",
        f"acl_file {work}/centre.acl",
        f"listener {tls_port} 127.0.0.1", f"cafile {work}/ca.crt", f"certfile {work}/centre.crt",
        f"keyfile {work}/centre.key", "require_certificate true", "use_identity_as_username true",
        f"listener {plain_port} 127.0.0.1", ""])


class Lines:
    """A process's output lines, read on a thread of their own."""

    def __init__(self, command, cwd):
        self.p = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        threading.Thread(target=lambda: [self.lines.append(l.rstrip("\n")) for l in self.p.stdout], daemon=True).start()

    def stop(self):
        if self.p.poll() is None:
            self.p.terminate()
            try:
                self.p.wait(10)
            except subprocess.TimeoutExpired:
                self.p.kill()


def broker(work, name, conf, port):
    path = f"{work}/{name}.conf"
    with open(path, "w") as f:
        f.write(conf)
    b = Lines(["mosquitto", "-c", path], work)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if b.p.poll() is not None:
            raise AssertionError(f"mosquitto {name} stopped: {b.lines[-5:]}")
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return b
        except OSError:
            time.sleep(0.1)
    raise AssertionError(f"mosquitto {name} does not listen on {port}")


def wait_for(what, condition, within=WITHIN_S):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        missing = condition()
        if not missing:
            return
        time.sleep(0.2)
    raise AssertionError(f"{what}: not seen within {within} s: {missing}")


def missing_at_centre(lines, wanted):
    """The (site, what) pairs of `wanted` no line of the subscriber shows."""
    def seen(site, what):
        prefix = f"voka/{site}/hall/"
        return any(l.startswith(prefix + what) for l in lines)
    return [w for w in wanted if not seen(*w)]


def main():
    voka_host, readme, example = (os.path.abspath(a) for a in sys.argv[1:4])
    missing = [p for p in ("mosquitto", "mosquitto_sub", "openssl") if not shutil.which(p)]
    if missing:
        sys.exit(f"missing: {', '.join(missing)} (packages mosquitto, mosquitto-clients, openssl)")
    work = tempfile.mkdtemp(prefix="voka-bridge-")
    os.chmod(work, 0o755)  # mosquitto started as root reads its files as the mosquitto user
    running = []
    try:
        make_certificates(work)
        for f in os.listdir(work):
            os.chmod(f"{work}/{f}", 0o644)
        tls_port, plain_port = free_port(), free_port()
        centre = broker(work, "centre", centre_conf(work, tls_port, plain_port), tls_port)
        running.append(centre)
        block = bridge_block(readme)
        with open(example, encoding="utf-8") as f:
            scenario = json.load(f)
        scenario.update(changes=[{"from_round": FAULT_FROM_ROUND, "set": {"modules[1].fault": 1}}], faults=[])
        scenario["equipment"]["baud_rate"] = 115200
        with open(f"{work}/scenario.json", "w") as f:
            json.dump(scenario, f)
        hosts = {}
        for site in SITES:
            port = free_port()
            running.append(broker(work, site, site_broker_conf(block, work, site, port, tls_port), port))
            with open(f"{work}/{site}.json", "w") as f:
                json.dump({"mqtt": {"host": "127.0.0.1", "port": port, "site": site, "homeassistant": False},
                           "power_systems": [{"name": "hall", "data_id": 1, "scenario": "scenario.json",
                                              "poll_interval_ms": 500, "acSetting": [{"data_id": 11}],
                                              "dcSetting": [{"data_id": 21}], "rcSetting": {}}]}, f)
            hosts[site] = Lines([voka_host, f"{site}.json", "--json", "--db", f"{site}.db"], work)
            running.append(hosts[site])

        subscribe = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(plain_port), "-i", "centre-watch", "-c", "-q", "1",
                     "-t", "voka/#", "-v"]
        watch = Lines(subscribe, work)
        running.append(watch)
        wait_for("both sites at the centre", lambda: missing_at_centre(watch.lines, [
            (s, w) for s in SITES for w in ("status online", "21/state {", "1/state {", "11/state {", "alarms [")]))

        watch.stop()
        centre.stop()
        stopped = {s: len(hosts[s].lines) for s in SITES}

        def alarm_started(lines):
            return any('"event":"alarm"' in l and '"rule_id":"RC_0"' in l and '"state":"start"' in l for l in lines)
        if any(alarm_started(hosts[s].lines[:stopped[s]]) for s in SITES):
            raise AssertionError("a module failed before the centre stopped: the rounds ran faster than expected")
        wait_for("the module's alarm at both sites", lambda: [s for s in SITES if not alarm_started(hosts[s].lines)])
        time.sleep(2)

        centre = broker(work, "centre", centre_conf(work, tls_port, plain_port), tls_port)
        running.append(centre)
        watch = Lines(subscribe, work)
        running.append(watch)

        def missing_after_restart():
            return missing_at_centre(watch.lines, [(s, w) for s in SITES for w in (
                'alarm/event {"code":"06024"', 'alarms [{"code":"06024"', "status online", "21/state {")])
        wait_for("both sites' alarms and values after the centre's restart", missing_after_restart, within=60)
        starts = [l for l in watch.lines if "/alarm/event " in l and '"state":"start"' in l]
        if len(starts) != len(SITES):
            raise AssertionError(f"each site's alarm start once at the centre, got: {starts}")
        print("both sites seen at the centre before and after its restart, the alarms raised while it was away included")
    except AssertionError:
        for r in running:  # what each process said last, for the failure's reader
            print(f"--- {' '.join(r.p.args[:3])}:", *r.lines[-8:], sep="\n  ", file=sys.stderr)
        raise
    finally:
        for r in reversed(running):
            r.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
