#!/usr/bin/env python3
"""Time added by each DNS server to one forwarded query at a time.

  latency.py ITERATIONS NAME=ADDRESS ... upstream=ADDRESS

Every iteration asks each server in a shuffled order for the same upstream name (n1..n20 in
turn), one query at a time, and times it from send to answer. A run of several seconds per
server, one after the other, swings with whatever else the machine does more than the tens of
microseconds it is after; asking in turn puts every server into the same moments, and the median
of the per-iteration differences to the upstream leaves the odd slow answer out. Prints, per
server, "NAME MEDIAN_ADDED_US MEDIAN_US" and for the upstream "upstream 0 MEDIAN_US".
"""
import random
import socket
import statistics
import struct
import sys
import time


def query(name, qid):
    header = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    return header + labels + b"\0" + struct.pack(">HH", 1, 1)


def ask(sock, name):
    qid = random.randrange(65536)
    packet = query(name, qid)
    start = time.perf_counter_ns()
    sock.send(packet)
    while True:
        data = sock.recv(2048)
        if len(data) >= 2 and struct.unpack(">H", data[:2])[0] == qid:
            return (time.perf_counter_ns() - start) / 1000.0


def main():
    iterations = int(sys.argv[1])
    servers = dict(arg.split("=", 1) for arg in sys.argv[2:])
    socks = {}
    for name, address in servers.items():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.connect((address, 53))
        s.settimeout(2)
        socks[name] = s
    times = {name: [] for name in servers}
    order = list(servers)
    for i in range(iterations):
        host = "n%d.bench.test" % (i % 20 + 1)
        random.shuffle(order)
        got = {}
        try:
            for name in order:
                got[name] = ask(socks[name], host)
        except socket.timeout:
            continue  # a lost datagram: the whole iteration is left out
        for name, t in got.items():
            times[name].append(t)
    up = times["upstream"]
    for name, t in times.items():
        if name == "upstream":
            print("upstream 0 %.1f" % statistics.median(up))
            continue
        added = statistics.median(a - b for a, b in zip(t, up))
        print("%s %.1f %.1f" % (name, max(0.0, added), statistics.median(t)))


if __name__ == "__main__":
    main()
