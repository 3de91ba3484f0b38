#!/usr/bin/env python3
"""The shipped alerting rules: promtool check rules, promtool test rules on their unit tests, and that every
alert of the rules file has a case in the tests where it fires and one where it does not.

Usage: alert_rules_test.py RULES.yml TESTS.yml
Fails, naming it, when promtool (package prometheus) is missing."""
import shutil
import subprocess
import sys

import yaml


def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")


def main():
    rules_file, tests_file = sys.argv[1:3]
    if not shutil.which("promtool"):
        sys.exit("promtool is missing: install the Debian package prometheus (scripts/install-deps.sh)")
    run("promtool", "check", "rules", rules_file)
    run("promtool", "test", "rules", tests_file)

    with open(rules_file, encoding="utf-8") as f:
        alerts = {r["alert"] for g in yaml.safe_load(f)["groups"] for r in g["rules"] if "alert" in r}
    with open(tests_file, encoding="utf-8") as f:
        cases = [c for t in yaml.safe_load(f)["tests"] for c in t.get("alert_rule_test", [])]
    firing = {c["alertname"] for c in cases if c.get("exp_alerts")}
    quiet = {c["alertname"] for c in cases if not c.get("exp_alerts")}
    problems = [f"{a}: no case where it fires" for a in sorted(alerts - firing)]
    problems += [f"{a}: no case where it stays quiet" for a in sorted(alerts - quiet)]
    problems += [f"{a}: tested, but not in {rules_file}" for a in sorted((firing | quiet) - alerts)]
    if problems:
        sys.exit("\n".join(problems))
    print(f"{len(alerts)} alerts, each tested firing and quiet")


if __name__ == "__main__":
    main()
