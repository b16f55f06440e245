#!/usr/bin/env python3
"""Scripted players and servers of the three streaming relays, written from their byte tables
(big-endian numbers throughout), run against the engine: python3 streaming_peers.py
realaudio|vdolive|xdma RELAY_PORT. Prints one "ok:" or "FAIL:" line per check; exits 1 on a failure.
python3 streaming_peers.py xdma-names RELAY_HOST RELAY_PORT SERVER_HOST SERVER_PORT: a player whose
first datagram names that server (a port whose last digit is not 4, which the relay would drop);
prints what comes back within two seconds, or "none"."""
import socket
import struct
import sys

FAILS = 0


def check(name, cond, detail=""):
    global FAILS
    if cond:
        print("ok: " + name)
    else:
        FAILS += 1
        print("FAIL: %s %r" % (name, detail))


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def udp(address):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, 0))
    s.settimeout(3)
    return s


def tcp_server(address):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, 0))
    s.listen(4)
    s.settimeout(5)
    return s


def realaudio(relay):
    server = tcp_server("127.0.0.2")
    sport = server.getsockname()[1]
    rec = lambda t, p=b"": struct.pack(">HB", len(p) + 1, t) + p
    player = socket.create_connection(("127.0.0.1", relay), 5)
    player.settimeout(5)
    player.sendall(rec(1, b"\x01") + rec(2, b"127.0.0.2") + rec(3, struct.pack(">H", sport)) + rec(0))
    status = b"\x02\x00\x01\x01" + struct.pack(">HBB", 14, 6, 0) + b"Connected OK"
    check("realaudio: hello answer and Connected OK", recv_exact(player, len(status)) == status)
    conn, _ = server.accept()
    conn.settimeout(5)
    data = udp("127.0.0.1")
    msg1 = struct.pack(">HHH", 1, 6, data.getsockname()[1]) + b"abcd"
    player.sendall(b"PNA\x00\x0a" + msg1 + struct.pack(">HH", 0, 0))
    got = recv_exact(conn, 5 + len(msg1) + 4)
    relay_port = struct.unpack(">H", got[9:11])[0]
    check("realaudio: preamble passed", got[:5] == b"PNA\x00\x0a")
    check("realaudio: data port rewritten, the rest unchanged",
          relay_port != data.getsockname()[1] and got[5:9] == msg1[:4] and got[11:] == b"abcd" + b"\x00" * 4)
    answer = b"123456789" + b"X\x00\x00\x00\x00\x00wxyz"
    conn.sendall(answer)
    check("realaudio: a server without robust UDP answered unchanged", recv_exact(player, len(answer)) == answer)
    sdata = udp("127.0.0.2")
    sdata.sendto(b"audio frame", ("127.0.0.1", relay_port))
    try:
        check("realaudio: server datagram reaches the player", data.recvfrom(100)[0] == b"audio frame")
    except OSError as e:
        check("realaudio: server datagram reaches the player", False, e)
    player.sendall(b"raw up")
    check("realaudio: raw after message 0", recv_exact(conn, 6) == b"raw up")
    player.close()
    conn.close()


def vdolive(relay):
    server = tcp_server("127.0.0.2")
    sport = server.getsockname()[1]

    def text(t):
        return struct.pack(">I", len(t)) + t + b"\x00" * (-len(t) % 4)

    def message(t, body):
        return struct.pack(">II", len(body) + 4, t) + body

    player = socket.create_connection(("127.0.0.1", relay), 5)
    player.settimeout(5)
    media = udp("127.0.0.1")
    player.sendall(message(32, struct.pack(">I", sport) + text(b"127.0.0.2") + text(b"clip.vdo")))
    conn, _ = server.accept()
    conn.settimeout(5)
    setup = message(6, text(b"abc") + struct.pack(">III", 1, 2, media.getsockname()[1]))
    hello = message(1, b"VDO Live" + struct.pack(">I", 99))
    player.sendall(setup + hello + b"raw")
    got = recv_exact(conn, len(setup) + len(hello) + 3)
    # The port follows the padded name and two 32-bit fields: 20 + 4.
    relay_media = struct.unpack(">I", got[24:28])[0]
    check("vdolive: request kept, set-up first", got[:4] == setup[:4])
    check("vdolive: media port rewritten in set-up and hello",
          relay_media != media.getsockname()[1] and got[len(setup) + 16:len(setup) + 20] == got[24:28])
    check("vdolive: raw after the hello", got.endswith(b"raw"))
    smedia = udp("127.0.0.2")
    smedia.sendto(b"frame", ("127.0.0.1", relay_media))
    try:
        d, src = media.recvfrom(100)
        check("vdolive: server media reaches the player", d == b"frame")
        media.sendto(b"feedback", src)
        check("vdolive: player media reaches the server", smedia.recvfrom(100)[0] == b"feedback")
    except OSError as e:
        check("vdolive: media both ways", False, e)
    player.close()
    conn.close()


def xdma(relay):
    while True:
        server = udp("127.0.0.2")
        if server.getsockname()[1] % 10 != 4:
            break
    sport = server.getsockname()[1]
    player = udp("127.0.0.1")
    first = b"X\x00ab" + socket.inet_aton("127.0.0.2") + struct.pack(">H", sport) + bytes(range(10, 52)) + b"live\x00"
    player.sendto(first, ("127.0.0.1", relay))
    try:
        got, (_, rport) = server.recvfrom(200)
        check("xdma: flag and the relay's port written, the rest unchanged",
              got[1] == 1 and struct.unpack(">H", got[8:10])[0] == rport and got[10:] == first[10:] and got[:1] == b"X")
        server.sendto(b"answer", ("127.0.0.1", rport))
        d, src = player.recvfrom(100)
        check("xdma: answer back from the relay's port", d == b"answer" and src[1] == relay)
    except OSError as e:
        check("xdma: relay both ways", False, e)


def xdma_names(relay_host, relay_port, server_host, server_port):
    player = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    player.settimeout(2)
    player.sendto(b"X\x00ab" + socket.inet_aton(server_host) + struct.pack(">H", server_port) + bytes(42) + b"probe\x00",
                  (relay_host, relay_port))
    try:
        print(player.recvfrom(200)[0][:20].decode("latin-1"))
    except OSError:
        print("none")


def answer(host, port):
    """A datagram server that answers every datagram with "answer"."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, port))
    while True:
        _, peer = s.recvfrom(65536)
        s.sendto(b"answer", peer)


if __name__ == "__main__":
    if sys.argv[1] == "answer":
        answer(sys.argv[2], int(sys.argv[3]))
    if sys.argv[1] == "xdma-names":
        xdma_names(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
        sys.exit(0)
    {"realaudio": realaudio, "vdolive": vdolive, "xdma": xdma}[sys.argv[1]](int(sys.argv[2]))
    sys.exit(1 if FAILS else 0)
