#!/usr/bin/env python3
"""A SOCKS client written from RFC 1928 and RFC 1929 (and the SOCKS 4/4a protocol notes), for the
cases curl does not reach: BIND, UDP ASSOCIATE, every refusal and error code, messages sent byte by
byte or pipelined, and malformed or over-long messages.

usage: socks_client.py open PORT ORIGIN_PORT DEAD_PORT UDP_PORT WWW_PORT
       socks_client.py login PORT ORIGIN_PORT
The gateway listens on 127.0.0.1:PORT; an HTTP origin on 127.0.0.2:ORIGIN_PORT; nothing on
127.0.0.2:DEAD_PORT; the UDP echo peer is started here on 127.0.0.2:UDP_PORT; the gateway's WWW
service listens on WWW_PORT.
"""
import socket
import struct
import sys
import threading

FAILED = 0
GW = "127.0.0.1"


def check(name, cond, detail=""):
    global FAILED
    if cond:
        print("ok:", name)
    else:
        FAILED += 1
        print("FAIL:", name, detail, file=sys.stderr)


def connect(port, source=None):
    s = socket.create_connection((GW, port), 10, source_address=(source, 0) if source else None)
    s.settimeout(10)
    return s


def recv_exact(s, n):
    out = b""
    while len(out) < n:
        b = s.recv(n - len(out))
        if not b:
            break
        out += b
    return out


def closed(s):
    """True when the gateway ends the connection (what it sent first is read and dropped)."""
    try:
        while True:
            if not s.recv(4096):
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def v4(cmd, ip, port, user=b"", host=None):
    req = struct.pack(">BBH", 4, cmd, port) + socket.inet_aton(ip) + user + b"\0"
    return req + (host + b"\0" if host is not None else b"")


def v5req(cmd, ip=None, port=0, host=None, atyp=None):
    if host is not None:
        addr = bytes([3, len(host)]) + host
    else:
        addr = bytes([1]) + socket.inet_aton(ip)
    if atyp is not None:
        addr = bytes([atyp]) + addr[1:]
    return bytes([5, cmd, 0]) + addr + struct.pack(">H", port)


def v5reply(s):
    r = recv_exact(s, 10)
    if len(r) != 10:
        return None, None, None
    return r[1], socket.inet_ntoa(r[4:8]), struct.unpack(">H", r[8:10])[0]


def http_get(s, port):
    s.sendall(b"GET /index.html HTTP/1.0\r\nHost: 127.0.0.2:%d\r\n\r\n" % port)
    data = b""
    while True:
        b = s.recv(65536)
        if not b:
            return data
        data += b


def open_cases(port, origin, dead, udp_port, www):
    # SOCKS 4, every byte on its own.
    s = connect(port)
    for b in v4(1, "127.0.0.2", origin, b"someone"):
        s.send(bytes([b]))
    r = recv_exact(s, 8)
    check("socks4 byte by byte granted", r[:2] == b"\x00\x5a", r.hex())
    check("socks4 byte by byte relays", http_get(s, origin).endswith(b"hello through socks\n"))
    s.close()

    # SOCKS 5, method selection and request in one piece.
    s = connect(port)
    s.sendall(b"\x05\x01\x00" + v5req(1, "127.0.0.2", origin))
    check("socks5 method none", recv_exact(s, 2) == b"\x05\x00")
    code, addr, bport = v5reply(s)
    check("socks5 pipelined granted", code == 0 and addr == "127.0.0.1" and bport != 0, (code, addr, bport))
    check("socks5 pipelined relays", http_get(s, origin).endswith(b"hello through socks\n"))
    s.close()

    def v5_code(req, methods=b"\x05\x01\x00"):
        s = connect(port)
        s.sendall(methods)
        m = recv_exact(s, 2)
        if m != b"\x05\x00":
            return "method %s" % m.hex()
        s.sendall(req)
        code, _, _ = v5reply(s)
        gone = closed(s)
        s.close()
        return code if gone else "open"

    check("connect refused is code 5", v5_code(v5req(1, "127.0.0.2", dead)) == 5)
    check("own SOCKS service is code 2", v5_code(v5req(1, host=b"localhost", port=port)) == 2)
    check("own service on another gateway address is code 5", v5_code(v5req(1, "127.0.0.3", www)) == 5)
    check("IPv6 address is code 8", v5_code(bytes([5, 1, 0, 4]) + bytes(16) + b"\x00\x50") == 8)
    check("unknown address type is code 8", v5_code(bytes([5, 1, 0, 9, 1, 2, 3, 4, 0, 80])) == 8)
    check("unknown command is code 7", v5_code(v5req(9, "127.0.0.2", origin)) == 7)
    check("unknown name is code 4", v5_code(v5req(1, host=b"no-such-host.invalid", port=80)) == 4)

    # Methods the server cannot accept: 05 FF and the end.
    s = connect(port, "127.0.0.5")
    s.sendall(b"\x05\x01\x02")
    check("only login offered, none configured: 05 FF", recv_exact(s, 2) == b"\x05\xff")
    check("closed after 05 FF", closed(s))
    s.close()

    # SOCKS 4 failures: 91.
    s = connect(port)
    s.sendall(v4(1, "127.0.0.2", dead))
    check("socks4 connect refused is 91", recv_exact(s, 8)[:2] == b"\x00\x5b")
    s.close()
    s = connect(port)
    s.sendall(v4(7, "127.0.0.2", origin))
    check("socks4 unknown command is 91", recv_exact(s, 8)[:2] == b"\x00\x5b")
    s.close()

    # Malformed and over-long messages end the session, never the server.
    for name, data in [("unknown version", b"\x07\x01\x00\x50"), ("no methods", b"\x05\x00"),
                       ("user id without end", v4(1, "127.0.0.2", origin)[:-1] + b"u" * 2000),
                       ("4a host without end", v4(1, "0.0.0.1", origin) + b"h" * 2000),
                       ("empty domain", b"\x05\x01\x00" + bytes([5, 1, 0, 3, 0, 0, 80]))]:
        s = connect(port)
        try:
            s.sendall(data)
        except (ConnectionResetError, BrokenPipeError):
            pass
        check("malformed: %s closed" % name, closed(s))
        s.close()

    # BIND (SOCKS 5): the first reply names where the peer is to connect, the second who did.
    for version in (5, 4):
        s = connect(port)
        if version == 5:
            s.sendall(b"\x05\x01\x00")
            recv_exact(s, 2)
            s.sendall(v5req(2, "127.0.0.2", 0))
            code, baddr, bport = v5reply(s)
        else:
            s.sendall(v4(2, "127.0.0.2", 0))
            r = recv_exact(s, 8)
            code = 0 if r[1] == 90 else r[1]
            bport, baddr = struct.unpack(">H", r[2:4])[0], socket.inet_ntoa(r[4:8])
        check("socks%d bind first reply" % version, code == 0 and bport != 0, (code, baddr, bport))
        peer = socket.socket()
        peer.bind(("127.0.0.2", 0))
        peer.connect((baddr, bport))
        if version == 5:
            code, paddr, pport = v5reply(s)
        else:
            r = recv_exact(s, 8)
            code = 0 if r[1] == 90 else r[1]
            pport, paddr = struct.unpack(">H", r[2:4])[0], socket.inet_ntoa(r[4:8])
        check("socks%d bind second reply names the peer" % version,
              code == 0 and (paddr, pport) == peer.getsockname(), (code, paddr, pport, peer.getsockname()))
        peer.sendall(b"from the peer")
        check("socks%d bind peer to client" % version, recv_exact(s, 13) == b"from the peer")
        s.sendall(b"from the client")
        s.shutdown(socket.SHUT_WR)
        peer.settimeout(10)
        check("socks%d bind client to peer, then its end" % version, recv_exact(peer, 100) == b"from the client")
        peer.close()
        s.close()

    # BIND: a connection from anyone but the named peer is refused and the client told.
    s = connect(port)
    s.sendall(b"\x05\x01\x00")
    recv_exact(s, 2)
    s.sendall(v5req(2, "127.0.0.2", 0))
    code, baddr, bport = v5reply(s)
    intruder = socket.socket()
    intruder.bind(("127.0.0.3", 0))
    intruder.connect((baddr, bport))
    code, _, _ = v5reply(s)
    check("bind from another address is refused", code == 2, code)
    intruder.close()
    s.close()

    # UDP ASSOCIATE with an echo peer.
    echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    echo.bind(("127.0.0.2", udp_port))

    def echo_loop():
        while True:
            try:
                data, addr = echo.recvfrom(70000)
            except OSError:
                return
            echo.sendto(b"echo:" + data, addr)
    threading.Thread(target=echo_loop, daemon=True).start()

    s = connect(port)
    s.sendall(b"\x05\x01\x00")
    recv_exact(s, 2)
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    u.settimeout(5)
    # The request names the client's own sending port, as PySocks does; the gateway must not bind it.
    s.sendall(v5req(3, "0.0.0.0", u.getsockname()[1]))
    code, raddr, rport = v5reply(s)
    check("udp associate granted", code == 0 and rport != 0, (code, raddr, rport))
    header = b"\x00\x00\x00\x01" + socket.inet_aton("127.0.0.2") + struct.pack(">H", udp_port)
    u.sendto(header + b"ping", (raddr, rport))
    try:
        data, _ = u.recvfrom(70000)
    except socket.timeout:
        data = b""
    check("udp round trip", data == header + b"echo:ping", data.hex())
    big = bytes(range(256)) * 200
    u.sendto(header + big, (raddr, rport))
    try:
        data, _ = u.recvfrom(70000)
    except socket.timeout:
        data = b""
    check("udp 51200-byte datagram", data == header + b"echo:" + big, len(data))
    # Fragments and strangers are dropped; the association still answers afterwards.
    u.sendto(b"\x00\x00\x01" + header[3:] + b"frag", (raddr, rport))
    stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stranger.bind(("127.0.0.3", 0))
    stranger.settimeout(1)
    stranger.sendto(header + b"stranger", (raddr, rport))
    try:
        got = stranger.recvfrom(70000)[0]
    except socket.timeout:
        got = None
    check("udp from another address dropped", got is None)
    u.sendto(header + b"again", (raddr, rport))
    try:
        data, _ = u.recvfrom(70000)
    except socket.timeout:
        data = b""
    check("udp fragment dropped, association goes on", data == header + b"echo:again", data.hex())
    s.close()
    echo.close()

    # Still serving.
    s = connect(port)
    s.sendall(v4(1, "127.0.0.2", origin))
    check("still serving", recv_exact(s, 8)[:2] == b"\x00\x5a")
    s.close()


def login_cases(port, origin):
    # Each case after the first comes from a machine of its own: while bob's first session is still
    # ending, its machine is still bob's and is rightly not asked for a login again.
    def login(user, password, split=False, source=None):
        s = connect(port, source)
        s.sendall(b"\x05\x02\x00\x02")
        m = recv_exact(s, 2)
        if m != b"\x05\x02":
            return s, "method " + m.hex()
        msg = bytes([1, len(user)]) + user + bytes([len(password)]) + password
        if split:
            for b in msg:
                s.send(bytes([b]))
        else:
            s.sendall(msg)
        return s, recv_exact(s, 2)

    s, r = login(b"bob", b"secret", split=True)
    check("login byte by byte accepted", r == b"\x01\x00", r)
    s.sendall(v5req(1, "127.0.0.2", origin))
    code, _, _ = v5reply(s)
    check("request after login granted", code == 0, code)
    check("relay after login", http_get(s, origin).endswith(b"hello through socks\n"))
    s.close()
    s, r = login(b"bob", b"nope", source="127.0.0.3")
    check("bad password: 01 01", r == b"\x01\x01", r)
    check("closed after a bad password", closed(s))
    s.close()
    s, r = login(b"nobody", b"secret", source="127.0.0.4")
    check("unknown user: 01 01", r == b"\x01\x01", r)
    s.close()
    # ULEN past the bytes sent: the gateway waits for the rest, and the client's end ends it.
    s = connect(port, "127.0.0.5")
    s.sendall(b"\x05\x01\x02")
    recv_exact(s, 2)
    s.sendall(b"\x01\xff" + b"x" * 10)
    s.shutdown(socket.SHUT_WR)
    check("short login closed", closed(s))
    s.close()
    s = connect(port, "127.0.0.6")
    s.sendall(b"\x05\x01\x00")
    check("no login offered: 05 FF", recv_exact(s, 2) == b"\x05\xff")
    s.close()


if __name__ == "__main__":
    if sys.argv[1] == "open":
        open_cases(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]))
    else:
        login_cases(int(sys.argv[2]), int(sys.argv[3]))
    sys.exit(1 if FAILED else 0)
