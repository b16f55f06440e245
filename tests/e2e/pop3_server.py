#!/usr/bin/env python3
"""A small POP3 server written from RFC 1939 for the gateway's tests: one mailbox (user bob,
password pw) with two messages, a multi-line greeting-free "+OK" banner, USER, PASS, STAT, LIST,
UIDL, RETR (byte-stuffed), DELE, NOOP, RSET, CAPA and QUIT. It logs every command line it gets to
standard output so the test can see what the gateway sent upstream.

usage: pop3_server.py ADDRESS PORT MESSAGE-FILE MESSAGE-FILE
"""
import socketserver
import sys


class Handler(socketserver.StreamRequestHandler):
    def send(self, text):
        self.wfile.write(text.encode() if isinstance(text, str) else text)

    def handle(self):
        self.send("+OK test POP3 server <1.2@test>\r\n")
        user, authed = None, False
        while True:
            line = self.rfile.readline(1024)
            if not line:
                return
            print("C:", line.decode(errors="replace").rstrip(), flush=True)
            parts = line.decode(errors="replace").strip().split(" ", 1)
            cmd, arg = parts[0].upper(), (parts[1] if len(parts) > 1 else "")
            if cmd == "CAPA":
                self.send("+OK\r\nUSER\r\nUIDL\r\n.\r\n")
            elif cmd == "USER":
                user = arg
                self.send("+OK user %s accepted\r\n" % arg)
            elif cmd == "PASS":
                authed = user == "bob" and arg == "pw"
                self.send("+OK logged in\r\n" if authed else "-ERR invalid login\r\n")
            elif cmd == "QUIT":
                self.send("+OK bye\r\n")
                return
            elif not authed:
                self.send("-ERR log in first\r\n")
            elif cmd == "STAT":
                self.send("+OK %d %d\r\n" % (len(MESSAGES), sum(len(m) for m in MESSAGES)))
            elif cmd in ("LIST", "UIDL"):
                if arg:
                    i = int(arg)
                    self.send("+OK %d %s\r\n" % (i, len(MESSAGES[i - 1]) if cmd == "LIST" else "uid%d" % i))
                else:
                    self.send("+OK\r\n")
                    for i, m in enumerate(MESSAGES, 1):
                        self.send("%d %s\r\n" % (i, len(m) if cmd == "LIST" else "uid%d" % i))
                    self.send(".\r\n")
            elif cmd == "RETR":
                m = MESSAGES[int(arg) - 1]
                self.send("+OK %d octets\r\n" % len(m))
                for l in m.split(b"\r\n"):
                    self.send((b"." + l if l.startswith(b".") else l) + b"\r\n")
                self.send(".\r\n")
            elif cmd in ("NOOP", "RSET", "DELE"):
                self.send("+OK\r\n")
            else:
                self.send("-ERR unknown\r\n")


if __name__ == "__main__":
    MESSAGES = []
    for path in sys.argv[3:]:
        with open(path, "rb") as f:
            MESSAGES.append(f.read().rstrip(b"\r\n"))
    socketserver.ThreadingTCPServer.allow_reuse_address = True
    socketserver.ThreadingTCPServer((sys.argv[1], int(sys.argv[2])), Handler).serve_forever()
