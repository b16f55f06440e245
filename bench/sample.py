#!/usr/bin/env python3
"""Samples one process's thread count and resident set every 50 ms until SIGTERM, then writes
"<peak threads> <peak VmRSS kB> <VmHWM kB>" to the output file."""
import signal
import sys
import time

pid, out = sys.argv[1], sys.argv[2]
peak_threads = peak_rss = hwm = 0
running = True


def stop(*_):
    global running
    running = False


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
while running:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key == "Threads":
                    peak_threads = max(peak_threads, int(value))
                elif key == "VmRSS":
                    peak_rss = max(peak_rss, int(value.split()[0]))
                elif key == "VmHWM":
                    hwm = max(hwm, int(value.split()[0]))
    except (OSError, ValueError):
        break
    time.sleep(0.05)
with open(out, "w") as f:
    f.write(f"{peak_threads} {peak_rss} {hwm}\n")
