#!/usr/bin/env python3
"""The tables of one area's run from its result lines "<point> <runner> <value>" (one line per
point, runner and round; the runners took turns in every round).

    ratios.py RESULTS ENGINE POINT=UNIT,higher|lower ... [-- AIM ...]

An AIM is POINT:PEER:RATIO: the engine's median over the peer's must be at least RATIO (higher is
better) or at most RATIO (lower is better). Prints the medians with their spread
((max - min) / median), then the ratio of the engine's median to every other runner's, then the
aims with "met" or "NOT met"."""
import statistics
import sys

args = sys.argv[1:]
results, engine = args[0], args[1]
rest = args[2:]
aims = []
if "--" in rest:
    aims = rest[rest.index("--") + 1:]
    rest = rest[:rest.index("--")]
points = []
how = {}
for spec in rest:
    name, _, kind = spec.partition("=")
    unit, _, better = kind.partition(",")
    points.append(name)
    how[name] = (unit, better or "higher")

values = {}
runners = []
for line in open(results):
    parts = line.split()
    if len(parts) != 3:
        continue
    point, runner, value = parts
    try:
        v = float(value)
    except ValueError:
        continue
    values.setdefault((point, runner), []).append(v)
    if runner not in runners:
        runners.append(runner)


def median(point, runner):
    v = values.get((point, runner))
    return statistics.median(v) if v else None


def fmt(x):
    if x is None:
        return "-"
    return f"{x:,.0f}" if abs(x) >= 100 else f"{x:.2f}" if abs(x) >= 1 else f"{x:.3f}"


print("| point | unit | runner | median | spread | rounds |")
print("|---|---|---|---:|---:|---:|")
for point in points:
    for runner in runners:
        v = values.get((point, runner))
        if not v:
            continue
        m = statistics.median(v)
        spread = (max(v) - min(v)) / m * 100 if m else 0
        print(f"| {point} | {how[point][0]} | {runner} | {fmt(m)} | {spread:.0f}% | {len(v)} |")
print()
print(f"| point | {engine} / peer | " + " | ".join(r for r in runners if r != engine) + " |")
print("|---|---|" + "---:|" * (len(runners) - 1))
for point in points:
    e = median(point, engine)
    cells = []
    for runner in runners:
        if runner == engine:
            continue
        p = median(point, runner)
        cells.append(f"{e / p:.2f}" if e is not None and p else "-")
    better = "higher is better" if how[point][1] == "higher" else "lower is better"
    print(f"| {point} | {better} | " + " | ".join(cells) + " |")
if aims:
    print()
    for aim in aims:
        point, peer, ratio = aim.split(":")
        e, p = median(point, engine), median(point, peer)
        if e is None or not p:
            print(f"- {point}, {engine} / {peer}: no figures")
            continue
        r, want = e / p, float(ratio)
        higher = how.get(point, ("", "higher"))[1] == "higher"
        met = r >= want if higher else r <= want
        sign = ">=" if higher else "<="
        print(f"- {point}, {engine} / {peer} {sign} {want:g}: {r:.3f} ({'met' if met else 'NOT met'})")
