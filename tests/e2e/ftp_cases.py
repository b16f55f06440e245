#!/usr/bin/env python3
"""Control-connection cases of the FTP gateway that curl and lftp do not reach, written from
RFC 959: commands before USER, a bad USER, EPSV/EPRT, a PORT naming a third host, the 227 rewrite
(the client sees the gateway's address and only it may connect), a data connection from a
stranger refused, pipelined commands, a second USER, and an over-long line.

usage: ftp_cases.py GATEWAY_PORT SERVER_PORT
The gateway listens on 127.0.0.1; the FTP server (user alice, password pw, a file small.txt) on
127.0.0.2:SERVER_PORT.

       ftp_cases.py serve ADDRESS PORT NAMED DATA_PORT
A hostile scripted FTP server on ADDRESS:PORT for the gateways' other side: its 227 replies name
NAMED (not itself) at DATA_PORT, where its own data listener is on ADDRESS; its listing holds
"reached-the-right-host.txt"; its files end their transfers in the ways a transfer can fail (see
FILES).

       ftp_cases.py victim ADDRESS PORT LOG
A listener that a gateway following a 227 reply's address would reach instead: it notes every
connection in LOG and sends a listing line of its own.
"""
import re
import socket
import sys
import threading

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


# name: (SIZE reply, the bytes the data connection carries, the reply after the transfer)
WHOLE = b"abcdefghijklmnopqrstuvwxyz"
FILES = {
    "whole.bin": ("213 26", WHOLE, "226 Transfer complete"),
    # The data connection ends early while the reply claims success: only SIZE tells.
    "short.bin": ("213 26", WHOLE[:10], "226 Transfer complete"),
    # No size known; the server says the transfer failed.
    "aborted.bin": ("550 No size", WHOLE[:10], "426 Connection closed; transfer aborted."),
    "failed.bin": ("550 No size", WHOLE, "451 Requested action aborted: local error in processing."),
}


def serve(address, port, named, data_port):
    def session(c):
        f = c.makefile("rb")
        c.sendall(b"220-Welcome <to> the scripted server\r\n220 ready\r\n")
        data = None
        while True:
            line = f.readline()
            if not line:
                break
            words = line.decode().strip().split(" ", 1)
            cmd, arg = words[0].upper(), (words[1] if len(words) > 1 else "")
            if cmd == "USER":
                c.sendall(b"331 go on\r\n")
            elif cmd == "PASS":
                c.sendall(b"230 in\r\n")
            elif cmd == "CWD":
                c.sendall(b"550 not a folder\r\n" if arg in FILES else b"250 ok\r\n")
            elif cmd == "TYPE":
                c.sendall(b"200 ok\r\n")
            elif cmd == "SIZE":
                c.sendall((FILES[arg][0] if arg in FILES else "550 no such file").encode() + b"\r\n")
            elif cmd == "PASV":
                data = socket.socket()
                data.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                data.bind((address, data_port))
                data.listen(1)
                data.settimeout(30)
                c.sendall(("227 Entering Passive Mode (%s,%d,%d)\r\n"
                           % (named.replace(".", ","), data_port // 256, data_port % 256)).encode())
            elif cmd in ("LIST", "RETR") and data:
                if cmd == "RETR" and arg not in FILES:
                    c.sendall(b"550 no such file\r\n")
                    continue
                c.sendall(b"150 here\r\n")
                try:
                    d, _ = data.accept()
                except socket.timeout:
                    c.sendall(b"425 no data connection\r\n")
                    continue
                finally:
                    data.close()
                    data = None
                if cmd == "LIST":
                    d.sendall(b"total 12\r\n-rw-r--r-- 1 u g 5 Jan 01 2024 reached-the-right-host.txt\r\n"
                              b"01-01-24  10:00AM       <DIR>          Old Folder\r\n"
                              b"lrwxrwxrwx 1 u g 5 Jan 01 2024 latest -> releases/1.0\r\n")
                    end = "226 done"
                else:
                    d.sendall(FILES[arg][1])
                    end = FILES[arg][2]
                d.close()
                c.sendall(end.encode() + b"\r\n")
            elif cmd == "QUIT":
                c.sendall(b"221 bye\r\n")
                break
            else:
                c.sendall(b"500 what\r\n")
        c.close()

    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((address, port))
    srv.listen(5)
    while True:
        c, _ = srv.accept()

        def run(c=c):
            try:
                session(c)
            except OSError:
                c.close()  # a port probe that went at once
        threading.Thread(target=run, daemon=True).start()


def victim(address, port, log):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((address, port))
    srv.listen(5)
    while True:
        c, peer = srv.accept()
        with open(log, "a") as f:
            f.write("connection from %s\n" % peer[0])
        try:
            c.sendall(b"-rw-r--r-- 1 u g 5 Jan 01 2024 reached-the-victim.txt\r\n")
        except OSError:
            pass
        c.close()


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
    elif sys.argv[1] == "victim":
        victim(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    main(int(sys.argv[1]), int(sys.argv[2]))
    sys.exit(1 if FAILED else 0)
