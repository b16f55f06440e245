#!/usr/bin/env python3
"""A raw DHCP client for what busybox udhcpc and dhclient cannot do: many hardware addresses at
once, a relay's giaddr, a request sent while others wait. Runs inside a client namespace.

  dhcp_client.py flood IFACE N               N DISCOVERs from new random hardware addresses;
                                             prints "offers K" (distinct clients offered)
  dhcp_client.py bind IFACE MAC SERVER       DISCOVER, REQUEST; prints "bound ADDRESS"
  dhcp_client.py burst IFACE SERVER N MAC ADDR
                                             N DISCOVERs from new addresses, then five from
                                             one more client, then an INFORM and a renewal
                                             REQUEST of MAC (holding ADDR, on the interface);
                                             prints what was answered, and when (seconds
                                             after the burst began)
  dhcp_client.py relay GIADDR SERVER         a DISCOVER as a relay agent at GIADDR sends it;
                                             prints "offer ADDRESS" or "no offer"
"""
import os
import select
import socket
import struct
import sys
import time

COOKIE = bytes([99, 130, 83, 99])
DISCOVER, OFFER, REQUEST, ACK, NAK, INFORM = 1, 2, 3, 5, 6, 8


def packet(kind, mac, xid, ciaddr="0.0.0.0", giaddr="0.0.0.0", requested=None, server=None, hops=0):
    b = bytearray(236)
    b[0], b[1], b[2], b[3] = 1, 1, 6, hops
    b[4:8] = struct.pack("!I", xid)
    b[10] = 0x80  # broadcast flag: the reply comes as a broadcast while the client has no address
    b[12:16] = socket.inet_aton(ciaddr)
    b[24:28] = socket.inet_aton(giaddr)
    b[28:34] = mac
    opts = bytes([53, 1, kind])
    if requested:
        opts += bytes([50, 4]) + socket.inet_aton(requested)
    if server:
        opts += bytes([54, 4]) + socket.inet_aton(server)
    opts += bytes([55, 3, 1, 3, 6, 255])
    return bytes(b) + COOKIE + opts + bytes(300 - 240 - len(opts))


def parse(data):
    """(xid, message type, yiaddr, mac) of a reply, or None."""
    if len(data) < 240 or data[0] != 2 or data[236:240] != COOKIE:
        return None
    kind, i = 0, 240
    while i < len(data) and data[i] != 255:
        if data[i] == 0:
            i += 1
            continue
        if i + 1 >= len(data):
            break
        if data[i] == 53 and data[i + 1] == 1 and i + 2 < len(data):
            kind = data[i + 2]
        i += 2 + data[i + 1]
    return struct.unpack("!I", data[4:8])[0], kind, socket.inet_ntoa(data[16:20]), bytes(data[28:34])


def client_socket(iface, port=68, address="0.0.0.0"):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    if iface:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
    s.bind((address, port))
    return s


def new_mac():
    return b"\x02" + os.urandom(5)


def new_xid():
    return struct.unpack("!I", os.urandom(4))[0]


def replies(s, seconds, done=lambda got: False):
    """Replies arriving within seconds (or until done says so), in arrival order."""
    got, end = [], time.monotonic() + seconds
    while not done(got):
        left = end - time.monotonic()
        if left <= 0 or not select.select([s], [], [], left)[0]:
            break
        r = parse(s.recv(2048))
        if r:
            got.append(r)
    return got


def flood(iface, n):
    s = client_socket(iface)
    macs = set()
    for _ in range(n):
        mac = new_mac()
        macs.add(mac)
        s.sendto(packet(DISCOVER, mac, new_xid()), ("255.255.255.255", 67))
        time.sleep(0.01)
    got = replies(s, 8)
    print("offers", len({r[3] for r in got if r[1] == OFFER and r[3] in macs}))


def bind(iface, mac_text, server):
    mac = bytes.fromhex(mac_text)
    s = client_socket(iface)
    xid = new_xid()
    s.sendto(packet(DISCOVER, mac, xid), ("255.255.255.255", 67))
    offer = [r for r in replies(s, 10, lambda g: any(r[0] == xid and r[1] == OFFER for r in g)) if r[0] == xid]
    if not offer:
        print("no offer")
        return
    address = offer[0][2]
    s.sendto(packet(REQUEST, mac, xid, requested=address, server=server), ("255.255.255.255", 67))
    ack = [r for r in replies(s, 10, lambda g: any(r[0] == xid and r[1] in (ACK, NAK) for r in g)) if r[0] == xid]
    print("bound" if ack and ack[-1][1] == ACK else "refused", address)


def burst(iface, server, n, mac_text, address):
    mac = bytes.fromhex(mac_text)
    s = client_socket(iface)
    burst_xids = set()
    sent = time.monotonic()
    for _ in range(n):
        xid = new_xid()
        burst_xids.add(xid)
        s.sendto(packet(DISCOVER, new_mac(), xid), ("255.255.255.255", 67))
    # One more client asking five times while its address is being checked.
    again, again_xids = new_mac(), []
    for _ in range(5):
        again_xids.append(new_xid())
        s.sendto(packet(DISCOVER, again, again_xids[-1]), ("255.255.255.255", 67))
    # Asked by unicast from the client's own address, as a bound client does.
    u = client_socket(None, 68, address)
    inform, renew = new_xid(), new_xid()
    u.sendto(packet(INFORM, mac, inform, ciaddr=address), (server, 67))
    u.sendto(packet(REQUEST, mac, renew, ciaddr=address), (server, 67))
    order, acks, end = [], {}, sent + 30
    # Until both are answered and the burst is over (or the time is up).
    while time.monotonic() < end:
        ready = select.select([s, u], [], [], end - time.monotonic())[0]
        for sock in ready:
            r = parse(sock.recv(2048))
            if not r:
                continue
            if r[0] in (inform, renew) and r[1] == ACK:
                acks[r[0]] = time.monotonic() - sent
                order.append("inform" if r[0] == inform else "renew")
            elif r[0] in burst_xids and r[1] == OFFER:
                order.append("offer")
            elif r[3] == again and r[1] == OFFER:
                order.append("again-latest" if r[0] == again_xids[-1] else "again-earlier")
        if len(acks) == 2 and order.count("offer") == n and "again-latest" in order:
            break
    # How many of the burst were still unanswered when the second of the two was answered.
    pending = 0
    if len(acks) == 2:
        last = max(i for i, o in enumerate(order) if o in ("inform", "renew"))
        pending = n - order[:last].count("offer")
    print("inform", "answered" if inform in acks else "unanswered")
    print("renew", "answered" if renew in acks else "unanswered")
    print("seconds", int(max(acks.values(), default=99)))
    print("offers-still-pending-when-answered", pending)
    print("offers", order.count("offer"))
    print("again", order.count("again-latest"), order.count("again-earlier"))


def relay(giaddr, server):
    # A relay agent listens on the server port of its own address.
    s = client_socket(None, 67, giaddr)
    xid = new_xid()
    s.sendto(packet(DISCOVER, new_mac(), xid, giaddr=giaddr, hops=1), (server, 67))
    got = [r for r in replies(s, 6, lambda g: any(r[0] == xid for r in g)) if r[0] == xid and r[1] == OFFER]
    print("offer " + got[0][2] if got else "no offer")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "flood":
        flood(sys.argv[2], int(sys.argv[3]))
    elif mode == "bind":
        bind(sys.argv[2], sys.argv[3], sys.argv[4])
    elif mode == "burst":
        burst(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], sys.argv[6])
    elif mode == "relay":
        relay(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
