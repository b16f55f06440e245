#!/usr/bin/env python3
"""Turns one bench run's raw files (wrk outputs, process samples, origin counts, curl timings)
into the tables of bench/README.md: one row per proxy and point, then the engine's ratios to
each peer."""
import os
import re
import sys

res = sys.argv[1]
proxies = sys.argv[2].split(",")
modes = ["uncached", "cached"]
concs = [int(c) for c in sys.argv[3].split(",")]
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
    return (int(parts[0]), int(parts[1]) // 1024, int(parts[2]) // 1024) if len(parts) == 3 else (None, None, None)


def fmt(v, pattern):
    return "-" if v is None else format(v, pattern)


def ratio(a, b):
    return "-" if a is None or b in (None, 0) else f"{a / b:.2f}"


rows = {}
print("## Small responses (wrk, one point per line)\n")
print("| proxy | pass | conc | req/s | p99 ms | errors | read errors | origin reqs | peak threads | peak RSS MB |")
print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
for p in proxies:
    for mode in modes:
        for c in concs:
            base = os.path.join(res, f"{p}.{mode}.{c}")
            rps, p99, errs, reads = wrk(base + ".wrk")
            thr, rss, _ = sample(base + ".sample")
            origin = read(base + ".origin").strip() or "-"
            rows[(p, mode, c)] = (rps, p99, thr, rss)
            print(f"| {p} | {mode} | {c} | {fmt(rps, '.0f')} | {fmt(p99, '.2f')} | {errs} | {reads} | {origin} | "
                  f"{fmt(thr, 'd')} | {fmt(rss, 'd')} |")

me, peers = proxies[0], proxies[1:]
print(f"\n## Ratios of {me} to each peer (req/s: above 1 is faster; p99, threads, RSS: below 1 is less)\n")
print("| peer | pass | conc | req/s | p99 | peak threads | peak RSS |")
print("|---|---|---:|---:|---:|---:|---:|")
for peer in peers:
    for mode in modes:
        for c in concs:
            a, b = rows[(me, mode, c)], rows[(peer, mode, c)]
            print(f"| {peer} | {mode} | {c} | {ratio(a[0], b[0])} | {ratio(a[1], b[1])} | {ratio(a[2], b[2])} | "
                  f"{ratio(a[3], b[3])} |")

print("\n## Large transfer (curl, one body through each proxy)\n")
print("| proxy | seconds | MB/s | peak threads | peak RSS MB | VmHWM over the run MB |")
print("|---|---:|---:|---:|---:|---:|")
large = {}
for p in ["direct"] + proxies:
    parts = read(os.path.join(res, f"{p}.large")).split()
    secs = float(parts[0]) if len(parts) == 2 else None
    mbs = float(parts[1]) / 1048576 if len(parts) == 2 else None
    thr, rss, _ = sample(os.path.join(res, f"{p}.large.sample"))
    _, _, hwm = sample(os.path.join(res, f"{p}.final.sample"))
    large[p] = (secs, mbs, rss)
    print(f"| {p} | {fmt(secs, '.3f')} | {fmt(mbs, '.0f')} | {fmt(thr, 'd')} | {fmt(rss, 'd')} | {fmt(hwm, 'd')} |")
for peer in peers:
    print(f"\n{me} / {peer} large transfer: time {ratio(large[me][0], large[peer][0])}, "
          f"peak RSS {ratio(large[me][2], large[peer][2])}")
