#!/usr/bin/env bash
# The console's folders depend one way: console/shell on console/dialogs and console/model,
# console/dialogs on console/model (and one area on another without a circle), console/model on
# neither. Reads every #include "console/..." of every file under console/ and fails, naming the
# file and the line, when a dialogs file includes a shell header, when a model file includes a
# dialogs or shell header, or when the folders' include graph has a circle. Prints the graph.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - <<'PY'
import os, re, sys

edges = {}     # folder -> {folder: count}
bad = []
for root, _, files in os.walk("console"):
    for name in sorted(files):
        if not name.endswith((".h", ".cpp")):
            continue
        path = os.path.join(root, name)
        for number, line in enumerate(open(path, encoding="utf-8"), 1):
            m = re.match(r'\s*#\s*include\s+"(console/[^"]+)"', line)
            if not m:
                continue
            target = os.path.dirname(m.group(1))
            if target == root:
                continue
            edges.setdefault(root, {}).setdefault(target, 0)
            edges[root][target] += 1
            if root.startswith("console/dialogs") and target.startswith("console/shell"):
                bad.append("%s:%d: a dialog includes the shell: %s" % (path, number, m.group(1)))
            if root.startswith("console/model") and target.startswith(("console/dialogs", "console/shell")):
                bad.append("%s:%d: the model includes %s" % (path, number, m.group(1)))

for folder in sorted(edges):
    print("%s -> %s" % (folder, ", ".join("%s (%d)" % (t, n) for t, n in sorted(edges[folder].items()))))

# A circle between folders: a depth-first walk that meets a folder still on its path.
state, circles = {}, []
def walk(node, path):
    state[node] = 1
    for nxt in sorted(edges.get(node, {})):
        if state.get(nxt) == 1:
            circles.append(" -> ".join(path[path.index(nxt):] + [nxt]))
        elif nxt not in state:
            walk(nxt, path + [nxt])
    state[node] = 2
for folder in sorted(edges):
    if folder not in state:
        walk(folder, [folder])
bad += ["a circle between folders: " + c for c in circles]

for b in bad:
    print("FAIL: " + b)
if bad:
    sys.exit(1)
print("console layers: shell -> dialogs -> model, no circle between folders")
PY
