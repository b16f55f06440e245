#!/usr/bin/env python3
"""Holds many idle client connections open to one proxy, for the idle point of bench/run.sh.

    idle.py HOST PORT COUNT

Connects COUNT times (in batches, so the proxy's listen queue is not simply overrun), sends
nothing, prints "ready <connections made>" and waits for SIGTERM; then prints "open <connections
the proxy has not closed meanwhile>" and closes them all."""
import resource
import selectors
import signal
import socket
import sys
import time

host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
BATCH = 200
CONNECT_WAIT = 10.0

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if soft < count + 64:
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 64) if hard != resource.RLIM_INFINITY
                                                else count + 64, hard))

held = []
for start in range(0, count, BATCH):
    sel = selectors.DefaultSelector()
    for _ in range(min(BATCH, count - start)):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((host, port))
        sel.register(s, selectors.EVENT_WRITE)
    deadline = time.time() + CONNECT_WAIT
    while sel.get_map() and time.time() < deadline:
        for key, _ in sel.select(max(0.0, deadline - time.time())):
            s = key.fileobj
            sel.unregister(s)
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0:
                held.append(s)
            else:
                s.close()
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    sel.close()

print("ready", len(held), flush=True)
stop = []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
signal.signal(signal.SIGINT, lambda *_: stop.append(1))
while not stop:
    time.sleep(0.1)


def still_open(s):
    try:
        return s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


print("open", sum(1 for s in held if still_open(s)), flush=True)
for s in held:
    s.close()
