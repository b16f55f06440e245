#!/usr/bin/env python3
"""Load for the SOCKS benchmark: PROCS processes, each with CONC threads, open a SOCKS 5
connection (no authentication, ATYP 1), CONNECT to the origin, fetch a small page with HTTP/1.0
and close, over and over for SECONDS. Prints connections per second (completed fetches) and the
count of failures. Written from RFC 1928; the same client drives every peer.

usage: socks_load.py PROXY_HOST PROXY_PORT ORIGIN_HOST ORIGIN_PORT PATH SECONDS PROCS CONC
"""
import multiprocessing
import socket
import struct
import sys
import threading
import time


def worker(args, deadline, out):
    ph, pp, oh, op, path = args
    req = b"\x05\x01\x00\x01" + socket.inet_aton(oh) + struct.pack(">H", op)
    get = b"GET " + path.encode() + b" HTTP/1.0\r\nHost: x\r\n\r\n"
    ok = bad = 0
    while time.time() < deadline:
        try:
            s = socket.create_connection((ph, pp), 5)
            s.sendall(b"\x05\x01\x00")
            if s.recv(2) != b"\x05\x00":
                raise OSError("method")
            s.sendall(req)
            r = b""
            while len(r) < 10:
                b = s.recv(10 - len(r))
                if not b:
                    raise OSError("reply")
                r += b
            if r[1] != 0:
                raise OSError("refused")
            s.sendall(get)
            while s.recv(65536):
                pass
            s.close()
            ok += 1
        except OSError:
            bad += 1
    out.append((ok, bad))


def proc(args, seconds, conc, q):
    deadline = time.time() + seconds
    out = []
    ts = [threading.Thread(target=worker, args=(args, deadline, out)) for _ in range(conc)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    q.put((sum(o for o, _ in out), sum(b for _, b in out)))


if __name__ == "__main__":
    ph, pp, oh, op, path, seconds, procs, conc = sys.argv[1:9]
    args = (ph, int(pp), oh, int(op), path)
    q = multiprocessing.Queue()
    ps = [multiprocessing.Process(target=proc, args=(args, float(seconds), int(conc), q)) for _ in range(int(procs))]
    start = time.time()
    for p in ps:
        p.start()
    results = [q.get() for _ in ps]
    for p in ps:
        p.join()
    ok = sum(r[0] for r in results)
    bad = sum(r[1] for r in results)
    print("%.0f %d" % (ok / float(seconds), bad))
