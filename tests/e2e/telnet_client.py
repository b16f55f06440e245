#!/usr/bin/env python3
"""A scripted Telnet client written from RFC 854/855 for the Telnet gateway's tests: it reads the
gateway's option requests and answers, drives the line editor (echo, DEL as backspace, masked
password, the line cap), picks a host and talks to it through the relay. An echo peer that greets
first is started here on 127.0.0.2.

usage: telnet_client.py open GATEWAY_PORT ECHO_PORT [PORT23]   (no log-in needed)
       telnet_client.py login GATEWAY_PORT ECHO_PORT            (the right asks for bob's log-in)
"""
import socket
import sys
import threading
import time

IAC, WILL, WONT, DO, DONT, SB, SE = 255, 251, 252, 253, 254, 250, 240
FAILED = 0


def check(name, cond, detail=""):
    global FAILED
    if cond:
        print("ok:", name)
    else:
        FAILED += 1
        print("FAIL:", name, repr(detail), file=sys.stderr)


def echo_peer(port):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.2", port))
    srv.listen(8)

    def serve(c):
        c.sendall(b"remote says hello\r\n")
        while True:
            try:
                b = c.recv(4096)
            except OSError:
                break
            if not b:
                break
            c.sendall(b)
        c.close()

    def loop():
        while True:
            c, _ = srv.accept()
            threading.Thread(target=serve, args=(c,), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()


class Client:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), 10)
        self.s.settimeout(10)
        self.buf = b""

    def _fill(self, enough, timeout):
        """Reads into buf until enough() holds, the peer closes or timeout seconds have passed."""
        end = time.time() + timeout
        while not enough() and time.time() < end:
            try:
                b = self.s.recv(4096)
            except socket.timeout:
                break
            if not b:
                break
            self.buf += b

    def read_until(self, token, timeout=10):
        self._fill(lambda: token in self.buf, timeout)
        i = self.buf.find(token)
        if i < 0:
            r, self.buf = self.buf, b""
            return r
        r, self.buf = self.buf[:i + len(token)], self.buf[i + len(token):]
        return r

    def read_answer(self, size):
        """At least size bytes, however long a busy gateway takes, and whatever follows them within
        half a second (so an answer sent twice shows)."""
        self._fill(lambda: len(self.buf) >= size, 30)
        return self.read_for(0.5)

    def read_for(self, seconds):
        self.s.settimeout(seconds)
        try:
            while True:
                b = self.s.recv(4096)
                if not b:
                    break
                self.buf += b
        except socket.timeout:
            pass
        self.s.settimeout(10)
        r, self.buf = self.buf, b""
        return r

    def send(self, data):
        self.s.sendall(data)

    def closed(self):
        try:
            while True:
                b = self.s.recv(4096)
                if not b:
                    return True
                self.buf += b
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False


def open_cases(port, echo, port23):
    c = Client(port)
    greet = c.read_until(b"Trellis>")
    check("greeting options then prompt", greet == bytes([IAC, WILL, 1, IAC, WILL, 3, IAC, DO, 3]) + b"Trellis>", greet)
    # Option requests, one split across two sends; a sub-negotiation is skipped whole.
    c.send(bytes([IAC, DO, 1, IAC, WILL, 3, IAC]))
    time.sleep(0.2)
    c.send(bytes([WILL, 24, IAC, DO, 5, IAC, SB, 24, 0, ord("x"), IAC, IAC, IAC, SE, IAC, DONT, 31, IAC, WONT, 33,
                  IAC, DO, 1, IAC, DO, 3, IAC, DONT, 31]))
    expected = bytes([IAC, WILL, 1, IAC, DONT, 24, IAC, WONT, 5, IAC, WONT, 31, IAC, WONT, 33, IAC, WILL, 3])
    answers = c.read_answer(len(expected))
    check("options answered once each", answers == expected, answers)
    # DEL on an empty line sends nothing; a typo fixed with DEL; IAC IAC is a data byte (then removed).
    c.send(b"\x7f")
    c.send(b"127.0.0.9\x7f2 " + bytes([IAC, IAC]) + b"\x08" + str(echo).encode() + b"\r\n")
    out = c.read_until(b"remote says hello\r\n")
    check("echo with DEL, then connect by 'host port'",
          out == b"127.0.0.9\b \b2 \xff\b \b" + str(echo).encode() + b"\r\nConnecting to host 127.0.0.2...Connected\r\n"
          b"remote says hello\r\n", out)
    c.send(b"ab\r\x00cd\r\n")
    out = c.read_until(b"cd\r\n")
    check("NUL as LF toward a raw port", out == b"ab\r\ncd\r\n", out)
    c.s.shutdown(socket.SHUT_WR)
    check("half-close passed on, then the end", c.closed())
    c.s.close()

    c = Client(port)
    c.read_until(b"Trellis>")
    c.send(b"127.0.0.2:%d\r\x00" % echo)
    out = c.read_until(b"remote says hello\r\n")
    check("connect by 'host:port'", out.endswith(b"Connected\r\nremote says hello\r\n"), out)
    c.s.close()

    if port23:
        c = Client(port)
        c.read_until(b"Trellis>")
        c.send(b"127.0.0.2\r\n")
        c.read_until(b"remote says hello\r\n")
        c.send(b"ab\r\x00cd\r\n")
        out = c.read_until(b"cd\r\n")
        check("NUL kept toward port 23", out == b"ab\r\x00cd\r\n", out)
        c.s.close()

    # The line cap: bytes past it are dropped unechoed; the line then fails as a host.
    c = Client(port)
    c.read_until(b"Trellis>")
    c.send(b"h" * 3000)
    out = c.read_answer(1024)
    check("line capped at 1024", out == b"h" * 1024, len(out))
    c.send(b"\r\n")
    out = c.read_until(b"Trellis>")
    check("bad host answered, prompt again", b"Bad host" in out, out)
    c.send(b"127.0.0.2:1\r\n")
    out = c.read_until(b"Trellis>")
    check("connect failure told, prompt again", b"Connecting to host 127.0.0.2..." in out and out.endswith(b"Trellis>"),
          out)
    c.send(b"quit\r\n")
    check("QUIT ends the session", c.closed())


def login_cases(port, echo):
    # The refusal first: a successful log-in makes bob the machine's user, and the machine's later
    # sessions then need no log-in of their own.
    c = Client(port)
    out = c.read_until(b"Login: ")
    check("log-in asked", out.endswith(b"Login: "), out)
    c.send(b"bob\r\nwrong\r\n")
    out = c.read_until(b"Access Denied\r\n")
    check("wrong password: Access Denied, never echoed",
          out.endswith(b"bob\r\nPassword: *****\r\nAccess Denied\r\n") and b"wrong" not in out, out)
    check("wrong password ends the session", c.closed())

    c = Client(port)
    c.read_until(b"Login: ")
    c.send(b"bob\r\n")
    check("password asked", c.read_until(b"Password: ").endswith(b"bob\r\nPassword: "))
    c.send(b"secret\r\n")
    out = c.read_until(b"Trellis>")
    check("password masked, prompt after log-in", out == b"******\r\nTrellis>", out)
    c.send(b"127.0.0.2 %d\n" % echo)
    check("host reached after log-in", c.read_until(b"remote says hello\r\n").endswith(b"remote says hello\r\n"))
    c.s.close()


if __name__ == "__main__":
    echo_peer(int(sys.argv[3]))
    if len(sys.argv) > 4 and sys.argv[4] == "23":
        echo_peer(23)
    if sys.argv[1] == "open":
        open_cases(int(sys.argv[2]), int(sys.argv[3]), len(sys.argv) > 4)
    else:
        login_cases(int(sys.argv[2]), int(sys.argv[3]))
    sys.exit(1 if FAILED else 0)
