#!/usr/bin/python3
"""The README's --get reference against the devices themselves. voka-host runs
the bundled example site for one round and is asked every key the key table
lists (each must be answered, with the value of the same name in the device's
decoded record), every other number of those records (each must be refused),
and keys that draw each refusal. The refusal table must name exactly the
refusal texts the plug-in's sources throw, and every refusal seen.
Usage: get_keys_test.py VOKA_HOST README.md"""
import json
import os
import re
import subprocess
import sys
import tempfile

HEADING = "### Asking a device: `--get ID:KEY`"
DEVICE_IDS = {"acSetting": 11, "dcSetting": 21, "rcSetting": 1}  # the bundled example site's
PLUGIN_FOLDERS = ("plugin", "host/interface")
# Keys that must draw one particular refusal after a complete round.
REFUSALS = {"11:channel_99_a": "通道参数越界", "11:no_such_key": "数据未提供",
            "21:no_such_key": "数据未就绪", "1:output_voltage": "数据未就绪"}


def section_tables(readme):
    """The tables of the README's --get section: lists of rows of cells, header rows left out."""
    section = readme.split(HEADING, 1)[1].split("\n#", 1)[0]
    tables, rows = [], []
    for line in section.splitlines() + [""]:
        if line.startswith("|"):
            rows.append([cell.strip() for cell in line.strip("|").split("|")])
        elif rows:
            tables.append([r for r in rows[1:] if set("".join(r)) - set("-")])
            rows = []
    return tables


def documented_keys(key_table):
    """{data id: [keys]} from the key table, channel N as channel 0."""
    keys = {}
    for device, key_cell, *_ in key_table:
        element = re.search(r"`(\w+Setting)`", device).group(1)
        listed = [k.replace("_N_", "_0_") for k in re.findall(r"`([^`]+)`", key_cell)]
        keys.setdefault(DEVICE_IDS[element], []).extend(listed)
    return keys


def record_value(fields, key):
    channel = re.fullmatch(r"channel_(\d+)_(\w)", key)
    return fields["channels"][int(channel[1])][channel[2]] if channel else fields[key]


def thrown_texts(source_root):
    texts = set()
    for folder in PLUGIN_FOLDERS:
        for base, _, names in os.walk(os.path.join(source_root, folder)):
            for name in names:
                with open(os.path.join(base, name), encoding="utf-8") as f:
                    texts |= set(re.findall(r'out_of_range\("([^"]+)"\)', f.read()))
    return texts


def run_host(host, queries):
    """voka-host for one round of the bundled site: ({query: [answers]}, {data id: record fields})."""
    with tempfile.TemporaryDirectory(prefix="voka-get-") as work:
        args = [host, "--json", "--rounds", "1", "--db", os.path.join(work, "h.db")]
        for q in queries:
            args += ["--get", q]
        run = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, f"voka-host exited with {run.returncode}: {run.stderr}"
    answers, records = {}, {}
    for event in map(json.loads, run.stdout.splitlines()):
        if event["event"] == "get":
            answers.setdefault(event["query"], []).append(event)
        elif event["event"] == "record":
            records[event["data_id"]] = event["fields"]
    return answers, records


def main(host, readme_path):
    with open(readme_path, encoding="utf-8") as f:
        key_table, refusal_table = section_tables(f.read())[:2]
    documented = documented_keys(key_table)
    failures = []
    # First the documented keys, to learn the records; then every other number in them.
    answers, records = run_host(host, [f"{i}:{k}" for i, keys in documented.items() for k in keys])
    undocumented = [f"{i}:{k}" for i in documented for k, v in records[i].items()
                    if isinstance(v, (int, float)) and k not in documented[i]]
    refused_answers, _ = run_host(host, undocumented + list(REFUSALS))
    seen = set()
    for i, keys in documented.items():
        for k in keys:
            before, after = answers[f"{i}:{k}"][0], answers[f"{i}:{k}"][-1]
            if before.get("refused") != "数据未就绪":
                failures.append(f"{i}:{k} before the first round on a new database: {before}")
            seen.add(before.get("refused"))
            if "value" not in after or abs(after["value"] - record_value(records[i], k)) > 1e-3 * (1 + abs(after["value"])):
                failures.append(f"{i}:{k}: {after}, the record has {record_value(records[i], k)}")
    for q in undocumented:
        if "refused" not in refused_answers[q][-1]:
            failures.append(f"{q} is answered ({refused_answers[q][-1]}) but not in the README's key table")
    for q, why in REFUSALS.items():
        seen.add(refused_answers[q][-1].get("refused"))
        if refused_answers[q][-1].get("refused") != why:
            failures.append(f"{q}: {refused_answers[q][-1]}, expected the refusal {why}")
    listed = {row[0].split()[0] for row in refusal_table}
    thrown = thrown_texts(os.path.dirname(os.path.abspath(readme_path)))
    if listed != thrown:
        failures.append(f"refusal table lists {sorted(listed)}, the plug-in throws {sorted(thrown)}")
    if not seen <= listed:
        failures.append(f"refusals seen but not in the table: {sorted(seen - listed)}")
    for f in failures:
        print("FAILED:", f)
    print(f"{sum(map(len, documented.values()))} documented keys answered, {len(undocumented)} others refused, "
          f"refusals seen: {sorted(seen)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
