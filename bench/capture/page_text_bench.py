#!/usr/bin/python3
"""The page's own text beside recognition, on the same record pages in Chromium.

page_text_bench.py BINARY [--pages N]    (run inside tests/support/with-xvfb
                                          tests/support/with-a11y-bus --enabled)

For every N-th record page of tests/capture/identification/browser_pages.py
(default every 3rd), shows the page in Chromium with its accessibility tree
published and reads its window with `BINARY match --window` twice: from the
page's tree (recognition only where it has no text) and by recognition alone.
Prints per source the names right / nobody / wrong, the time from the start of
the read to the card (median and 90th percentile), the processor time of
KelvraCapture and of the browser while it was read, and their ratios.

Then the cost of the tree to the browser: Chromium showing the dense page,
with and without --force-renderer-accessibility, each started and left alone
for 8 s, then read once: the browser's processor time and its memory (the sum
of its processes' proportional set sizes), and their ratios.
"""
import json, os, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "capture", "identification"))
import browser_pages  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def descendants(pid):
    """`pid` and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                children.setdefault(int(fields[1]), []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo += children.get(p, [])
    return found


def cpu_ms(pids):
    total = 0
    for p in pids:
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total * 1000 // TICKS


def pss_mb(pids):
    total = 0
    for p in pids:
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024.0


def start_browser(html, profile, tree=True):
    flags = [f for f in browser_pages.CHROMIUM_FLAGS if f != "--headless"]
    flags += ["--user-data-dir=" + profile, "--window-size=1100,700", "--window-position=0,0",
              "--password-store=basic"]
    if tree:
        flags.append("--force-renderer-accessibility")
    return subprocess.Popen(["chromium"] + flags + ["file://" + os.path.abspath(html)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def window_of(browser, binary):
    for _ in range(150):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(browser.pid)],
                               capture_output=True, text=True).stdout.split()
        if found:
            text = subprocess.run([binary, "ocr", "--accessible", found[-1]], capture_output=True,
                                  text=True, timeout=60).stdout
            if "Northside" in text:
                return found[-1]
        time.sleep(0.2)
    return found[-1] if found else None


def percentile(values, p):
    return browser_pages.percentile(values, p)


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        print(__doc__)
        return 2
    binary = os.path.abspath(args[0])
    every = int(args[args.index("--pages") + 1]) if "--pages" in args else 3
    patients = os.path.join(browser_pages.HERE, "patients.json")
    sources = {"page": "on", "recognised": "off"}
    stats = {s: {"right": 0, "nobody": 0, "wrong": 0, "times": [], "cpu": [], "browser_cpu": []} for s in sources}
    with tempfile.TemporaryDirectory() as folder:
        browser_pages.write(folder)
        pages = browser_pages.selected(folder, every)
        for p in pages:
            with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
                browser = start_browser(os.path.join(folder, p["page"] + ".html"), profile)
                try:
                    window = window_of(browser, binary)
                    for source, flag in sources.items():
                        pids = descendants(browser.pid)
                        before = cpu_ms(pids)
                        r = subprocess.run([binary, "match", "--patients", patients, "--window", window,
                                            "--page-text", flag], capture_output=True, timeout=300)
                        got = json.loads(r.stdout.decode()) if r.stdout else {"proposed": None}
                        s = stats[source]
                        result = browser_pages.outcome(got, p["expected"])[1]
                        s[result] += 1
                        s["times"].append(got.get("read_ms", 0) + got.get("decide_ms", 0))
                        s["cpu"].append(got.get("read_cpu_ms", 0))
                        s["browser_cpu"].append(cpu_ms(pids) - before)
                        print("%-18s %-10s %-6s %6d ms  %-34s tree %s" % (
                            p["page"], source, result, s["times"][-1], got.get("source", ""),
                            (got.get("page_text") or {}).get("status", "")), flush=True)
                finally:
                    browser.terminate()
                    browser.wait()
        print("%d record pages in Chromium, load average %.1f" % (len(pages), os.getloadavg()[0]))
        print("%-11s %6s %6s %6s %12s %12s %16s %16s" % ("source", "right", "nobody", "wrong", "median ms",
                                                           "90th pct ms", "our cpu ms (med)", "browser cpu ms"))
        for source, s in stats.items():
            print("%-11s %6d %6d %6d %12d %12d %16d %16d" % (
                source, s["right"], s["nobody"], s["wrong"], percentile(s["times"], 50),
                percentile(s["times"], 90), percentile(s["cpu"], 50), percentile(s["browser_cpu"], 50)))
        page, rec = stats["page"], stats["recognised"]
        ratio = lambda a, b: (float(a) / b) if b else float("nan")
        print("ratios page / recognised: time median %.2f, 90th %.2f, our cpu %.2f" % (
            ratio(percentile(page["times"], 50), percentile(rec["times"], 50)),
            ratio(percentile(page["times"], 90), percentile(rec["times"], 90)),
            ratio(percentile(page["cpu"], 50), percentile(rec["cpu"], 50))))

        # What the published tree costs the browser.
        dense = [p for p in browser_pages.selected(folder, 1) if p["kind"] == "dense"][0]
        html = os.path.join(folder, dense["page"] + ".html")
        cost = {}
        for tree in (False, True):
            with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
                browser = start_browser(html, profile, tree)
                try:
                    time.sleep(8)
                    pids = descendants(browser.pid)
                    idle_cpu, memory = cpu_ms(pids), pss_mb(pids)
                    window = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(browser.pid)],
                                            capture_output=True, text=True).stdout.split()[-1]
                    before = cpu_ms(pids)
                    subprocess.run([binary, "ocr", "--accessible", window], capture_output=True, timeout=60)
                    cost[tree] = (idle_cpu, memory, cpu_ms(pids) - before)
                finally:
                    browser.terminate()
                    browser.wait()
        print()
        print("Chromium on the dense page      start+8 s cpu ms   memory (PSS) MB   one read of the tree, cpu ms")
        for tree in (False, True):
            print("%-31s %18d %17.0f %30d" % ("with the tree published" if tree else "without", *cost[tree]))
        print("ratios with / without: start cpu %.2f, memory %.2f" % (
            ratio(cost[True][0], cost[False][0]), ratio(cost[True][1], cost[False][1])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
