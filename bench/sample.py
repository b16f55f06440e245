#!/usr/bin/env python3
"""Samples one process's thread count and resident set every 50 ms until SIGTERM, then writes
"<peak threads> <peak VmRSS kB> <VmHWM kB> <CPU seconds used meanwhile>" to the output file."""
import os
import signal
import sys
import time

pid, out = sys.argv[1], sys.argv[2]
peak_threads = peak_rss = hwm = 0
running = True
TICK = os.sysconf("SC_CLK_TCK")


def cpu():
    """User plus system time of the whole process, ended threads included."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, ValueError, IndexError):
        return None



def stop(*_):
    global running
    running = False


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
cpu_start = cpu()
cpu_end = cpu_start
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
    cpu_end = cpu() or cpu_end
    time.sleep(0.05)
used = cpu_end - cpu_start if cpu_start is not None and cpu_end is not None else -1
with open(out, "w") as f:
    f.write(f"{peak_threads} {peak_rss} {hwm} {used:.2f}\n")
