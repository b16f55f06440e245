#!/usr/bin/env python3
"""Free ports for tests that run side by side: a port is free when nothing is bound to it (TCP or
UDP, on the address asked for or on every address) and no other test holds it. A test holds a port
with a lock on byte PORT of one file that every test of this machine shares (the C++ tests' FreePort
takes the same locks), for as long as the test lives, so no other test picks it in the seconds
before its server binds it. Ports come from 20000-32000: outside the kernel's range for outgoing
connections, so no client socket takes one meanwhile.

usage: ports.py ADDRESS OWNER_PID   prints a port held until OWNER_PID has ended
"""
import fcntl
import os
import random
import socket
import struct
import sys
import time

LOCKS = "/tmp/trellis-test-ports.lock"
FIRST, LAST = 20000, 32000


def _bindable(address, port):
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.bind((address, port))
        except OSError:
            return False
        finally:
            s.close()
    return True


def _open_locks():
    fd = os.open(LOCKS, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        os.fchmod(fd, 0o666)  # the first test to make it may have a narrow umask
    except OSError:
        pass
    return fd


def _hold(fd, port):
    """An open-file-description lock: it stays with the descriptor, also across fork."""
    try:
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, port, 1, 0))
        return True
    except OSError:
        return False


_held_fd = None


def free_port(address="127.0.0.1"):
    """A port held by this process for its whole life."""
    global _held_fd
    if _held_fd is None:
        _held_fd = _open_locks()
    return _pick(_held_fd, address)


def _pick(fd, address):
    for _ in range(1000):
        port = random.randint(FIRST, LAST)
        if _bindable(address, port) and _bindable("0.0.0.0", port) and _hold(fd, port):
            return port
    raise RuntimeError("no free port")


def main(address, owner):
    fd = _open_locks()
    port = _pick(fd, address)
    print(port, flush=True)
    if os.fork():
        os._exit(0)
    # The child keeps the lock (and nothing else: the caller's output ends here) until the owner
    # has gone.
    os.setsid()
    null = os.open(os.devnull, os.O_RDWR)
    for i in (0, 1, 2):
        os.dup2(null, i)
    os.chdir("/")
    while True:
        try:
            os.kill(owner, 0)
        except ProcessLookupError:
            break
        except PermissionError:
            pass
        time.sleep(1)
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
