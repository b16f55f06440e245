#!/usr/bin/env python3
"""Turns one bench run's raw files (wrk outputs, process samples, origin counts, curl timings,
idle holders) into the tables of bench/README.md.

    report.py RESULTS PROXIES CONCS ROUNDS IDLE

Every point ran once per round, the proxies in turn; a table gives the median of the rounds and
their spread ((max - min) / median), and the ratio tables compare medians. The first proxy is the
engine the ratios are about."""
import os
import re
import statistics
import sys

res = sys.argv[1]
proxies = sys.argv[2].split(",")
concs = [int(c) for c in sys.argv[3].split(",")]
rounds = int(sys.argv[4])
idle_count = int(sys.argv[5]) if len(sys.argv) > 5 else 0
modes = ["uncached", "cached"]
UNITS = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def wrk(path):
    text = read(path)
    rps = re.search(r"Requests/sec:\s+([\d.]+)", text)
    p99 = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s|m)\s*$", text, re.M)
    errs = reads = 0
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if m:
        errs += int(m.group(1)) + int(m.group(3)) + int(m.group(4))
        reads = int(m.group(2))
    m = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    if m:
        errs += int(m.group(1))
    return (float(rps.group(1)) if rps else None,
            float(p99.group(1)) * UNITS[p99.group(2)] if p99 else None, errs, reads)


def sample(path):
    parts = read(path).split()
    return (int(parts[0]), int(parts[1]) // 1024, int(parts[2]) // 1024) if len(parts) >= 3 else (None, None, None)


def cpu_per_request(wrk_path, sample_path):
    """Microseconds of the proxy's CPU time (user plus system) per completed response: a figure a
    busy machine disturbs far less than requests/s."""
    m = re.search(r"^\s*(\d+) requests in", read(wrk_path), re.M)
    parts = read(sample_path).split()
    if not m or len(parts) < 4 or float(parts[3]) < 0 or int(m.group(1)) == 0:
        return None
    return 1e6 * float(parts[3]) / int(m.group(1))


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values):
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return None
    m = statistics.median(values)
    return 100.0 * (max(values) - min(values)) / m if m else None


def peak(values):
    values = [v for v in values if v is not None]
    return max(values) if values else None


def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def fratio(a, b):
    r = ratio(a, b)
    return "-" if r is None else f"{r:.2f}"


rows = {}
print("## Small responses (wrk; median of the rounds, spread = (max - min) / median)\n")
print("| proxy | pass | conc | req/s | spread | p99 ms | spread | errors | read errors | origin reqs | "
      "peak threads | peak RSS MB | CPU us/req |")
print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for mode in modes:
    for c in concs:
        for p in proxies:
            rps, p99, errs, reads, origin, thr, rss, cpu = [], [], 0, 0, [], [], [], []
            for r in range(1, rounds + 1):
                base = os.path.join(res, f"{p}.{mode}.{c}.r{r}")
                a, b, e, rd = wrk(base + ".wrk")
                rps.append(a)
                p99.append(b)
                errs += e
                reads += rd
                t, m, _ = sample(base + ".sample")
                cpu.append(cpu_per_request(base + ".wrk", base + ".sample"))
                thr.append(t)
                rss.append(m)
                o = read(base + ".origin").strip()
                origin.append(int(o) if o.isdigit() else None)
            row = (med(rps), med(p99), peak(thr), peak(rss), med(cpu))
            rows[(p, mode, c)] = row
            sr, sp = spread(rps), spread(p99)
            print(f"| {p} | {mode} | {c} | {fmt(row[0], '.0f')} | {fmt(sr, '.0f')}% | {fmt(row[1], '.2f')} | "
                  f"{fmt(sp, '.0f')}% | {errs} | {reads} | {fmt(med(origin), '.0f')} | {fmt(row[2], 'd')} | "
                  f"{fmt(row[3], 'd')} | {fmt(row[4], '.0f')} |")

me, peers = proxies[0], proxies[1:]
print(f"\n## Ratios of {me} to each peer, on the medians (req/s: above 1 is faster; p99, threads, RSS: "
      "below 1 is less)\n")
print("| peer | pass | conc | req/s | p99 | peak threads | peak RSS | CPU per request |")
print("|---|---|---:|---:|---:|---:|---:|---:|")
for peer in peers:
    for mode in modes:
        for c in concs:
            a, b = rows[(me, mode, c)], rows[(peer, mode, c)]
            print(f"| {peer} | {mode} | {c} | {fratio(a[0], b[0])} | {fratio(a[1], b[1])} | {fratio(a[2], b[2])} | "
                  f"{fratio(a[3], b[3])} | {fratio(a[4], b[4])} |")

print("\n## Large transfer (curl, one body through each proxy per round; median)\n")
print("| proxy | seconds | spread | MB/s | peak threads | peak RSS MB | VmHWM over the run MB |")
print("|---|---:|---:|---:|---:|---:|---:|")
large = {}
for p in ["direct"] + [p for p in proxies if p != "squid-close"]:
    secs, mbs, thr, rss = [], [], [], []
    for r in range(1, rounds + 1):
        parts = read(os.path.join(res, f"{p}.large.r{r}")).split()
        secs.append(float(parts[0]) if len(parts) == 2 else None)
        mbs.append(float(parts[1]) / 1048576 if len(parts) == 2 else None)
        t, m, _ = sample(os.path.join(res, f"{p}.large.r{r}.sample"))
        thr.append(t)
        rss.append(m)
    _, _, hwm = sample(os.path.join(res, f"{p}.final.sample"))
    large[p] = (med(secs), med(mbs), peak(rss))
    print(f"| {p} | {fmt(med(secs), '.3f')} | {fmt(spread(secs), '.0f')}% | {fmt(med(mbs), '.0f')} | "
          f"{fmt(peak(thr), 'd')} | {fmt(peak(rss), 'd')} | {fmt(hwm, 'd')} |")
if "direct" in large and large["direct"][0]:
    for p in large:
        if p != "direct" and large[p][0]:
            print(f"\n{p}: {large['direct'][0] / large[p][0]:.2f} of a direct fetch's speed")

idle = {}
if idle_count > 0:
    print(f"\n## {idle_count} idle client connections held open while a second client fetches "
          "(uncached, wrk)\n")
    print("| proxy | idle held | still open after | 2nd client req/s | p99 ms | errors | peak threads | "
          "peak RSS MB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for p in [p for p in proxies if p != "squid-close"]:
        hold = read(os.path.join(res, f"{p}.idle.hold"))
        ready = re.search(r"^ready (\d+)", hold, re.M)
        still = re.search(r"^open (\d+)", hold, re.M)
        rps, p99, errs, _ = wrk(os.path.join(res, f"{p}.idle.wrk"))
        thr, rss, _ = sample(os.path.join(res, f"{p}.idle.sample"))
        idle[p] = (rps, p99, rss)
        print(f"| {p} | {ready.group(1) if ready else '-'} | {still.group(1) if still else '-'} | "
              f"{fmt(rps, '.0f')} | {fmt(p99, '.2f')} | {errs} | {fmt(thr, 'd')} | {fmt(rss, 'd')} |")

# The aims the engine is held to, read off the tables above.
if me.startswith("trellis") and "tinyproxy" in proxies:
    print("\n## Aims\n")

    def aim(text, value, ok):
        state = "-" if value is None else ("met" if ok(value) else "NOT met")
        print(f"- {text}: {fmt(value, '.2f')} ({state})")

    for c in (50, 200):
        if c in concs:
            aim(f"uncached req/s at {c}, {me} / tinyproxy >= 1.0",
                ratio(rows[(me, "uncached", c)][0], rows[("tinyproxy", "uncached", c)][0]), lambda v: v >= 1.0)
    if 200 in concs:
        aim(f"uncached p99 at 200, {me} / tinyproxy <= 2.0",
            ratio(rows[(me, "uncached", 200)][1], rows[("tinyproxy", "uncached", 200)][1]), lambda v: v <= 2.0)
    for c in (1, 50, 200):
        if c in concs:
            aim(f"cache hits req/s at {c}, {me} / tinyproxy >= 1.5",
                ratio(rows[(me, "cached", c)][0], rows[("tinyproxy", "cached", c)][0]), lambda v: v >= 1.5)
    if "direct" in large and me in large:
        aim(f"100 MB transfer, {me} speed / direct >= 0.8", ratio(large["direct"][0], large[me][0]),
            lambda v: v >= 0.8)
    if me in idle:
        aim(f"{idle_count} idle connections: {me} peak RSS MB < 400", idle[me][2], lambda v: v < 400)
        aim(f"{idle_count} idle connections: second client served, req/s", idle[me][0], lambda v: v > 0)
