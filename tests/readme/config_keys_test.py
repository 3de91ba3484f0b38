#!/usr/bin/python3
"""The README's site file key reference against `voka-host config keys`, and
`voka-host config check` telling every problem of a file at once (exit 2, one
line each) and passing a usable one (exit 0).
Usage: config_keys_test.py VOKA_HOST README.md"""
import os
import subprocess
import sys
import tempfile

HEADING = "### The site file's keys"


def readme_table(readme):
    """The table lines of the README's key section."""
    section = readme.split(HEADING, 1)[1].split("\n#", 1)[0]
    return [line for line in section.splitlines() if line.startswith("|")]


def check(voka_host, folder, text):
    path = os.path.join(folder, "site.json")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    run = subprocess.run([voka_host, "config", "check", path], capture_output=True, text=True, timeout=60)
    return run.returncode, run.stderr.splitlines(), path


def main():
    voka_host, readme_path = sys.argv[1], sys.argv[2]
    failures = []
    with open(readme_path, encoding="utf-8") as f:
        documented = readme_table(f.read())
    printed = subprocess.run([voka_host, "config", "keys"], capture_output=True, text=True, check=True,
                             timeout=60).stdout.splitlines()
    if documented != printed:
        missing = [line for line in printed if line not in documented]
        extra = [line for line in documented if line not in printed]
        failures.append("the README's key table differs from `voka-host config keys`:\n  not in the README: " +
                        "\n    ".join(missing) + "\n  not printed: " + "\n    ".join(extra) +
                        "\n(paste the printed table under \"" + HEADING + "\")")
    with tempfile.TemporaryDirectory() as folder:
        status, lines, path = check(voka_host, folder, """{"power_systems": [
            {"data_id": 1, "rcSetting": {}, "baud_rate": 1000, "answer_timout_ms": 500},
            {"data_id": 2, "rcSetting": {}, "address": 256}]}""")
        expected = [f"voka-host: {path}: power_systems[0].answer_timout_ms: is not a key of a power system",
                    f"voka-host: {path}: power_systems[0].baud_rate: must be a rate a serial line can be set to",
                    f"voka-host: {path}: power_systems[1].address: must be an integer from 0 to 255"]
        if status != 2 or len(lines) != len(expected) or \
                any(not line.startswith(start) for line, start in zip(lines, expected)):
            failures.append(f"config check of three problems: exit {status}, told:\n  " + "\n  ".join(lines))
        status, lines, _ = check(voka_host, folder, '{"power_systems": [{"data_id": 1, "rcSetting": {}}]}')
        if status != 0:
            failures.append(f"config check of a usable file: exit {status}:\n  " + "\n  ".join(lines))
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
