#!/usr/bin/env python3
"""Control-connection cases of the FTP gateway that curl and lftp do not reach, written from
RFC 959: commands before USER, a bad USER, EPSV/EPRT, a PORT naming a third host, the 227 rewrite
(the client sees the gateway's address and only it may connect), a data connection from a
stranger refused, pipelined commands, a second USER, and an over-long line.

usage: ftp_cases.py GATEWAY_PORT SERVER_PORT
The gateway listens on 127.0.0.1; the FTP server (user alice, password pw, a file small.txt) on
127.0.0.2:SERVER_PORT.
"""
import re
import socket
import sys

FAILED = 0


def check(name, cond, detail=""):
    global FAILED
    if cond:
        print("ok:", name)
    else:
        FAILED += 1
        print("FAIL:", name, detail, file=sys.stderr)


class Control:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), 10)
        self.s.settimeout(10)
        self.buf = b""

    def line(self):
        while b"\n" not in self.buf:
            b = self.s.recv(4096)
            if not b:
                r, self.buf = self.buf, b""
                return r.decode(errors="replace")
            self.buf += b
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode(errors="replace").rstrip("\r")

    def reply(self):
        """A whole reply (multi-line ones to their last line); its last line."""
        first = self.line()
        if len(first) >= 4 and first[3] == "-":
            code = first[:3]
            while True:
                l = self.line()
                if l.startswith(code + " ") or l == "":
                    return l
        return first

    def cmd(self, text):
        self.s.sendall(text.encode() + b"\r\n")
        return self.reply()

    def closed(self):
        try:
            while True:
                if not self.s.recv(4096):
                    return True
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False


def data_from(addr, port, source="127.0.0.1"):
    d = socket.socket()
    d.bind((source, 0))
    d.settimeout(10)
    d.connect((addr, port))
    return d


def main(gw, sp):
    c = Control(gw)
    check("greeting", c.reply() == "220 Trellis Engine FTP Gateway ready")
    check("FEAT before USER answered", c.cmd("FEAT") == "530 Please login with USER user@host first")
    check("bad USER", c.cmd("USER alice") == "500 Bad username format - format is user@host:port")
    # A command is its whole first word, as the server reads it: USERNAME is no USER.
    check("USERNAME is no USER", c.cmd("USERNAME alice@127.0.0.2:%d" % sp) == "530 Please login with USER user@host first")
    check("bad USER port", c.cmd("USER alice@127.0.0.2:99999") == "500 Bad username format - format is user@host:port")
    # USER and PASS pipelined in one piece: both are acted on in order.
    c.s.sendall(("USER alice@127.0.0.2:%d\r\nPASS pw\r\n" % sp).encode())
    check("USER relayed", c.reply().startswith("331"))
    check("PASS relayed", c.reply().startswith("230"))
    check("EPSV answered 502", c.cmd("EPSV") == "502 Command not implemented")
    check("EPRT answered 502", c.cmd("EPRT |1|127.0.0.1|2000|") == "502 Command not implemented")
    check("PORT to a third host refused", c.cmd("PORT 127,0,0,9,7,208") == "500 Bad Port command")
    check("PORT out of range refused", c.cmd("PORT 127,0,0,1,300,1") == "500 Bad Port command")
    r = c.cmd("PORTX 127,0,0,9,7,208")
    check("PORTX goes to the server as it is", r.startswith("500") and "PORTX" in r, r)
    check("TYPE relayed", c.cmd("TYPE I").startswith("200"))

    r = c.cmd("PASV")
    m = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", r)
    check("227 rewritten to the gateway", r.startswith("227 Entering passive mode (127,0,0,1,") and m, r)
    if m:
        port = int(m.group(5)) * 256 + int(m.group(6))
        # A stranger's connection is closed; the client's own goes through.
        stranger = data_from("127.0.0.1", port, "127.0.0.3")
        try:
            got = stranger.recv(10)
        except (ConnectionResetError, socket.timeout):
            got = b""
        check("stranger's data connection closed", got == b"")
        stranger.close()
        d = data_from("127.0.0.1", port)
        r = c.cmd("RETR small.txt")
        check("RETR through PASV starts", r.startswith("150") or r.startswith("125"), r)
        data = b""
        while True:
            b = d.recv(65536)
            if not b:
                break
            data += b
        check("RETR data", data == b"small file\n", data)
        check("RETR complete", c.reply().startswith("226"))
        d.close()

    # A second USER goes upstream without its "@host".
    check("second USER relayed", c.cmd("USER alice@127.0.0.2:%d" % sp).startswith("331"))
    check("second PASS", c.cmd("PASS pw").startswith("230"))
    check("PWD after second login", c.cmd("PWD").startswith("257"))
    check("QUIT", c.cmd("QUIT").startswith("221"))
    c.s.close()

    # An over-long line without an end closes the session, and the gateway goes on.
    c = Control(gw)
    c.reply()
    try:
        c.s.sendall(b"USER " + b"a" * 10000)
    except (ConnectionResetError, BrokenPipeError):
        pass
    check("over-long line closed", c.closed())
    c = Control(gw)
    check("still serving", c.reply().startswith("220"))
    check("QUIT before USER", c.cmd("QUIT").startswith("221"))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
    sys.exit(1 if FAILED else 0)
