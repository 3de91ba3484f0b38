#!/usr/bin/python3
"""The documents' examples, each run through the program that reads it.

    readme_examples_test.py VOKA_HOST VOKA_SIM SOURCE_DIR [DOCUMENT.md]...
    readme_examples_test.py --broken VOKA_HOST VOKA_SIM SOURCE_DIR

Every fenced block of the documents (README.md and simulator/SCENARIOS.md of
SOURCE_DIR unless named) is checked by its kind, the second word of its info
string (```json site) or, for ```sh, its first: site files and their fragments
through `voka-host config check`, scenarios through the same check of a site that runs
them, Prometheus files through promtool, mosquitto files by starting mosquitto
with them; every voka-host and voka-sim command line (in sh blocks and inline
code) through the program's own parser, with --help appended, and each option
it names looked up in that help. Files an example names (certificates, keys,
password files) are replaced by temporary ones, and ports by free ones; the
rest of each line stays as written. A block of no known kind fails unless the
line before it says why it is not checked: <!-- example: skip: REASON -->.
With --broken it runs one broken example of each kind instead, each of which
must fail. Fails, naming the missing program, when promtool, mosquitto, mosquitto_passwd
or openssl is not installed.
"""
import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIP_MARKER = re.compile(r"^<!--\s*example:\s*skip:\s*(\S.*?)\s*-->$")
HOST_COMMANDS = ("run", "probe", "alarms", "history", "config")


def host_command(args):
    """The words naming a voka-host command: `config` takes one more (`config check`)."""
    return list(args[:2]) if args[:1] == ["config"] else list(args[:1])
PROGRAMS = ("voka-host", "voka-sim")
ELISION = "..."  # a member named so stands for the rest of an object


class Broken(Exception):
    """An example its program refuses; the message says how."""


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=60, **kw)


def fenced_blocks(document):
    """(line, kind, text, skip reason or None) of each fenced block."""
    lines = document.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        fence = re.match(r"^```(.*)$", lines[i])
        if not fence:
            i += 1
            continue
        words = fence.group(1).split()
        kind = words[1] if len(words) > 1 else (words[0] if words[:1] == ["sh"] else None)
        before = next((l.strip() for l in reversed(lines[:i]) if l.strip()), "")
        skip = SKIP_MARKER.match(before)
        end = next((k for k in range(i + 1, len(lines)) if lines[k].startswith("```")), len(lines))
        yield i + 1, kind, "\n".join(lines[i + 1:end]) + "\n", skip.group(1) if skip else None
        i = end + 1


def inline_commands(document):
    """(line, text) of each inline code span outside fenced blocks that runs voka-host or voka-sim."""
    text = document.read_text(encoding="utf-8")
    prose = re.sub(r"^```.*?^```", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S | re.M)
    for span in re.finditer(r"`([^`]+)`", prose):
        words = span.group(1).split()
        if len(words) > 1 and command_start(words) is not None:
            yield prose.count("\n", 0, span.start()) + 1, span.group(1)


def command_start(words):
    """Index of the voka program in a command's words (after VAR=value and sudo), or None."""
    i = 0
    while i < len(words) and (re.match(r"^[A-Za-z_]\w*=", words[i]) or words[i] == "sudo"):
        i += 1
    return i if i < len(words) and Path(words[i]).name in PROGRAMS else None


class Checker:
    def __init__(self, voka_host, voka_sim, source, work):
        self.programs = {"voka-host": voka_host, "voka-sim": voka_sim}
        self.source, self.work = source, work
        self.acl = ""  # a document's mosquitto-acl block, for the acl_file of its mosquitto block
        self.helps = {}
        self.serial = 0
        self.make_secrets()

    def path(self, name):
        self.serial += 1
        return self.work / f"{self.serial}-{name}"

    # ---- stand-ins for the files examples name ----

    def make_secrets(self):
        w = self.work
        self.cert, self.key, self.password = w / "cert.pem", w / "key.pem", w / "password"
        made = run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=localhost", "-keyout", str(self.key), "-out", str(self.cert)])
        if made.returncode != 0:
            sys.exit(f"openssl could not make a certificate: {made.stderr}")
        self.password.write_text("secret\n")
        self.hash = run(["openssl", "passwd", "-6", "secret"]).stdout.strip()
        self.passwd = w / "mosquitto.passwd"
        made = run(["mosquitto_passwd", "-c", "-b", str(self.passwd), "voka", "secret"])
        if made.returncode != 0:
            sys.exit(f"mosquitto_passwd failed: {made.stderr}")
        # mosquitto started as root reads its files as the mosquitto user.
        for f in (w, self.cert, self.key, self.password, self.passwd):
            f.chmod(0o755 if f.is_dir() else 0o644)
        self.credentials = w / "credentials"
        self.credentials.mkdir()
        self.broker_dir = w / "broker"  # the broker's working folder, where it saves its sessions
        self.broker_dir.mkdir(mode=0o777)
        self.broker_dir.chmod(0o777)

    def stand_in(self, key, value):
        """The temporary file (or hash) for a site file's value at `key`."""
        content = {"ca_file": self.cert, "cert_file": self.cert, "key_file": self.key,
                   "password_file": self.password, "password_hash": self.hash}.get(key)
        if content is None:
            return value
        if isinstance(value, dict) and "credential" in value:  # read from $CREDENTIALS_DIRECTORY
            data = content if key == "password_hash" else content.read_text()
            (self.credentials / value["credential"]).write_text(data + ("\n" if key == "password_hash" else ""))
            return value
        if key == "password_hash":
            return self.hash if ELISION in value else value
        return str(content)

    def with_stand_ins(self, node, key=None):
        if isinstance(node, dict):
            if "credential" in node:
                return self.stand_in(key, node)
            return {k: self.with_stand_ins(v, k) for k, v in node.items() if k != ELISION}
        if isinstance(node, list):
            return [self.with_stand_ins(v, key) for v in node]
        return self.stand_in(key, node) if isinstance(node, str) else node

    # ---- the kinds of block ----

    def site(self, text, base=None):
        try:
            site = json.loads(text if text.lstrip().startswith("{") else "{" + text + "}")
        except json.JSONDecodeError as e:
            raise Broken(f"not JSON: {e}")
        if base is not None:
            site = merged(base, site)
        self.voka_host_check(self.with_stand_ins(site))

    def site_fragment(self, text):
        base = json.loads((self.source / "service" / "site.json").read_text())
        self.site(text, base)

    def scenario(self, text, member=None):
        try:
            scenario = json.loads(text)
        except json.JSONDecodeError as e:
            raise Broken(f"not JSON: {e}")
        file = self.path("scenario.json")
        file.write_text(json.dumps({member: [scenario]} if member else scenario))
        self.voka_host_check({"power_systems": [{"data_id": 1, "scenario": str(file), "acSetting": [{"data_id": 11}],
                                                 "dcSetting": [{"data_id": 21}], "rcSetting": {}}]})

    def voka_host_check(self, site):
        file = self.path("site.json")
        file.write_text(json.dumps(site, ensure_ascii=False))
        env = dict(os.environ, CREDENTIALS_DIRECTORY=str(self.credentials))
        done = run([self.programs["voka-host"], "config", "check", str(file)], env=env)
        if done.returncode != 0:
            raise Broken(f"voka-host config check: exit {done.returncode}: {done.stderr.strip()}")

    def prometheus(self, text, what="config"):
        file = self.path("prometheus.yml")
        # The installed rules file is the source tree's, checked with the configuration that names it.
        text = text.replace("/usr/share/voka/prometheus/", f"{Path(self.source).resolve()}/service/prometheus/")
        file.write_text(replace_values(text, r"\s*-?\s*(?P<key>\w+_file)\s*:\s*", {
            "ca_file": self.cert, "cert_file": self.cert, "key_file": self.key, "password_file": self.password}))
        done = run(["promtool", "check", what, str(file)])
        if done.returncode != 0:
            raise Broken(f"promtool check {what}: {(done.stdout + done.stderr).strip()}")

    def mosquitto(self, text):
        acl = self.path("acl")
        acl.write_text(self.acl)
        acl.chmod(0o644)
        conf = replace_values(text, r"\s*(?P<key>\w+)\s+", {
            "cafile": self.cert, "certfile": self.cert, "keyfile": self.key, "password_file": self.passwd,
            "bridge_cafile": self.cert, "bridge_certfile": self.cert, "bridge_keyfile": self.key,
            "acl_file": acl, "persistence_location": f"{self.broker_dir}/", "pid_file": self.path("pid"),
            # A bridge's far end on loopback, where nothing listens: a name to resolve could hold up the
            # broker's stop for as long as the resolver waits.
            "address": f"127.0.0.1:{free_tcp_port()}"})
        ports = []

        def free_port(m):
            ports.append(free_tcp_port())
            return f"{m.group(1)}{ports[-1]}"
        conf = re.sub(r"^(\s*(?:listener|port)\s+)\d+", free_port, conf, flags=re.M)
        if not ports:
            raise Broken("no listener")
        file = self.path("mosquitto.conf")
        file.write_text(conf)
        file.chmod(0o644)
        broker = subprocess.Popen(["mosquitto", "-c", str(file)], cwd=self.broker_dir, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        try:
            for port in ports:
                wait_listening(broker, port)
        finally:
            broker.terminate()
            said = broker.communicate(timeout=10)[0]
        if broker.returncode not in (0, -15):
            raise Broken(f"mosquitto exit {broker.returncode}: {said.strip()}")

    def mosquitto_acl(self, text):
        self.acl = text
        self.mosquitto("listener 1883 127.0.0.1\nallow_anonymous false\npassword_file x\nacl_file x\n")

    def shell(self, text):
        """Each voka command line of a shell block; the others are listed as not run."""
        problems = []
        for line in re.sub(r"\\\n", " ", text).splitlines():
            lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
            lexer.whitespace_split, lexer.commenters = True, "#"
            command = []
            for word in list(lexer) + [";"]:
                if word not in ("&&", "||", "|", ";", "&"):
                    command.append(word)
                    continue
                if command:
                    problems += each_problem(self.command_line, command)
                command = []
        if problems:
            raise Broken("; ".join(problems))

    def command_line(self, words):
        start = command_start(words)
        if start is None:
            print(f"    not run: {shlex.join(words)}")
            return
        program, args = Path(words[start]).name, words[start + 1:]
        if program == "voka-host" and (not args or args[0] not in HOST_COMMANDS):
            args = ["run"] + args
        done = run([self.programs[program]] + args + ([] if "--help" in args else ["--help"]))
        if done.returncode != 0:
            said = (done.stderr.strip().splitlines() or [""])[0]  # the complaint, not the usage after it
            raise Broken(f"{shlex.join(words)}: exit {done.returncode}: {said}")
        self.options_known(program, host_command(args) if program == "voka-host" else [], args, done.stdout)

    def usage(self, text):
        """A synopsis: each option it names must be one its command takes."""
        problems = []
        for line in re.sub(r"\n\s+(?=\[|--)", " ", text).splitlines():
            words = line.split("#")[0].split()
            if not words or words[0] not in PROGRAMS:
                continue
            named = [w.strip("[]") for w in words[1:3]]
            command = host_command(named) if named[:1] and named[0] in HOST_COMMANDS else []
            if words[0] == "voka-host" and not command:
                command = ["run"]
            problems += each_problem(self.options_known, words[0], command, words, self.help(words[0], command))
        if problems:
            raise Broken("; ".join(problems))

    def help(self, program, command):
        key = (program, *command)
        if key not in self.helps:
            self.helps[key] = run([self.programs[program]] + command + ["--help"]).stdout
        return self.helps[key]

    def options_known(self, program, command, words, help):
        unknown = [o for o in re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", " ".join(words))
                   if o != "--help" and not re.search(rf"(?<![\w-]){o}(?![\w-])", help)]
        if unknown:
            raise Broken(f"{' '.join([program] + command)} takes no {', '.join(unknown)}")


KINDS = {
    "sh": Checker.shell,
    "usage": Checker.usage,
    "site": Checker.site,
    "site-fragment": Checker.site_fragment,
    "scenario": Checker.scenario,
    "scenario-change": lambda c, t: c.scenario(t, "changes"),
    "scenario-fault": lambda c, t: c.scenario(t, "faults"),
    "prometheus": Checker.prometheus,
    "prometheus-rules": lambda c, t: c.prometheus(t, "rules"),
    "mosquitto-acl": Checker.mosquitto_acl,
    "mosquitto": Checker.mosquitto,
}


def each_problem(check, *args):
    """The complaint of one check of several, as a list: all of a block's problems are shown at once."""
    try:
        check(*args)
        return []
    except Broken as e:
        return [str(e)]


def merged(base, fragment):
    """`fragment` laid over `base`: objects member by member, lists entry by entry (the fragment's length)."""
    if isinstance(base, dict) and isinstance(fragment, dict):
        return {**base, **{k: merged(base.get(k), v) for k, v in fragment.items()}}
    if isinstance(base, list) and isinstance(fragment, list):
        return [merged(base[i] if i < len(base) else None, v) for i, v in enumerate(fragment)]
    return fragment


def replace_values(text, lead, files):
    """Each line's value after `lead` (naming its key as group "key") replaced by the stand-in of that key; the
    rest of the line stays as written."""
    def one(m):
        return f"{m.group('lead')}{files[m.group('key')]}" if m.group("key") in files else m.group(0)
    return re.sub(rf"^(?P<lead>{lead})\S+", one, text, flags=re.M)


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(process, port):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Broken(f"mosquitto stopped (exit {process.returncode}): {process.communicate()[0].strip()}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.1)
    raise Broken(f"mosquitto does not listen on port {port} after 10 s")


# One broken example of each kind, in a document of its own: every one must fail,
# or a kind's check cannot catch what it is there for.
BROKEN_EXAMPLES = """
```json site
{"power_systems": [{"data_id": 1, "baud_rate": "fast", "rcSetting": {}}]}
```
```json site-fragment
"http": {"listen": "0.0.0.0:9108"}
```
```json site-fragment
"mqtt": {"host": "broker.example", "tls": {"ca_file": "/etc/voka/broker-ca.crt", "insecure": "yes"}}
```
```json scenario
{"site": {"modules": [{"faul": 1}]}}
```
```json scenario-change
{"from_round": 5, "set": {"modules[9].fault": 1}}
```
```json scenario-fault
{"kind": "bad_sum"}
```
```yaml prometheus
scrape_configs:
  - job_name: voka
    scrape_interval: 15x
```
```yaml prometheus-rules
groups:
  - name: voka
    rules:
      - alert: VokaDown
        expr: voka_up ==
```
```conf mosquitto
listener 1883
password_file /etc/mosquitto/passwd      # a comment after a value
```
```text mosquitto-acl
user voka
topic sideways voka/#
```
```text usage
voka-host probe --port DEV [--bauds B]...
```
```sh
voka-host history 21 --limit 0
voka-sim SCENARIO.json --adress 7
```
`voka-host probe --prot /dev/ttyUSB0`
```
an example of no kind
```
"""


def check_document(checker, document):
    """Runs every example of the document; returns how many passed and how many failed."""
    blocks = list(fenced_blocks(document))
    checker.acl = next((t for _, k, t, s in blocks if k == "mosquitto-acl" and not s), "")
    examples = blocks + [(line, "command", text, None) for line, text in inline_commands(document)]
    passed = failed = 0
    for line, kind, text, skip in sorted(examples, key=lambda e: e[0]):
        where = f"{document.name}:{line}"
        if skip:
            print(f"skip {where}: {skip}")
            continue
        check = KINDS.get(kind) if kind != "command" else (lambda c, t: c.command_line(shlex.split(t)))
        try:
            if check is None:
                raise Broken(f"no kind a program reads ({kind or 'none'}): name one of {', '.join(KINDS)} after "
                             "the fence's language, or put <!-- example: skip: REASON --> before it")
            check(checker, text)
            passed += 1
            print(f"ok   {where} {kind}")
        except Broken as e:
            failed += 1
            print(f"FAIL {where} {kind}: {e}")
    return passed, failed


def main():
    args = [a for a in sys.argv[1:] if a != "--broken"]
    if len(args) < 3:
        sys.exit(__doc__)
    voka_host, voka_sim, source = args[0], args[1], Path(args[2])
    missing = [p for p in ("promtool", "mosquitto", "mosquitto_passwd", "openssl") if not shutil.which(p)]
    if missing:
        sys.exit(f"FAIL: missing {', '.join(missing)} (scripts/install-deps.sh installs them)")
    with tempfile.TemporaryDirectory() as work:
        checker = Checker(voka_host, voka_sim, source, Path(work))
        if "--broken" in sys.argv:
            document = Path(work) / "BROKEN.md"
            document.write_text(BROKEN_EXAMPLES)
            passed, failed = check_document(checker, document)
            print(f"{passed} broken examples pass (must be none), {failed} fail")
            return 1 if passed or not failed else 0
        documents = [Path(d) for d in args[3:]] or [source / "README.md", source / "simulator" / "SCENARIOS.md"]
        passed = failed = 0
        for document in documents:
            p, f = check_document(checker, document)
            passed, failed = passed + p, failed + f
    print(f"{passed} examples pass, {failed} fail")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
