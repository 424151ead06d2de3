#!/usr/bin/env python3
"""text_cases.py BINARY [CASES] [PATIENTS]: runs `BINARY match --text-file`
on every case of text_cases.txt and prints right / nobody / wrong per class
(the test suite checks the same cases in process). Ages are counted at
$KC_CASES_TODAY (default 2026-12-09, the day the cases were written for;
empty: the binary's own today)."""
import json, os, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from browser_pages import outcome, count, print_tally  # noqa: E402


def cases(path):
    out, current = [], None
    for line in open(path, encoding="utf-8").read().split("\n"):
        if line.startswith("=== "):
            kind, expected = [p.strip() for p in line[4:].split("|")]
            current = {"kind": kind, "expected": None if expected == "-" else expected, "lines": []}
            out.append(current)
        elif current is not None and not line.startswith("#"):
            current["lines"].append(line)
    for c in out:
        c["text"] = "\n".join(c["lines"]).strip("\n") + "\n"
    return out


def main():
    binary = sys.argv[1]
    path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "text_cases.txt")
    patients = sys.argv[3] if len(sys.argv) > 3 else os.path.join(HERE, "patients.json")
    day = os.environ.get("KC_CASES_TODAY", "2026-12-09")
    today = ["--today", day] if day else []
    tally = {}
    for c in cases(path):
        r = subprocess.run([binary, "match", "--patients", patients, "--text-file", "-"] + today,
                           input=c["text"].encode(), capture_output=True)
        got = json.loads(r.stdout.decode())
        proposed, result = outcome(got, c["expected"])
        count(tally, (c["kind"], "all"), result)
        if result != "right":
            print("%-8s %-6s expected %-26s got %-26s %s | %s" % (c["kind"], result, c["expected"] or "nobody",
                  proposed or "nobody", got.get("reason"), c["text"].replace("\n", " / ")[:70]))
    return print_tally("class", tally)

if __name__ == "__main__":
    sys.exit(main())
