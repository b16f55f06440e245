"""One raw HTTP request, exactly as spelled, and the first line of what comes back.

    raw_http.py ADDRESS PORT REQUEST-LINE [HEADER-LINE...]

sends REQUEST-LINE, "Host: x", the header lines given and the blank line, and prints the status
line of the answer ("" when the connection ended or stayed silent without one). Tests of rules
need the request as a hostile client spells it, which curl would put in normal form itself.
"""
import socket
import sys


def first_line(s):
    """Reads until the first CRLF (or the end, or a 10 s silence) and returns that line."""
    data = b""
    try:
        while b"\r\n" not in data:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    return data.split(b"\r\n")[0].decode("latin-1")


if __name__ == "__main__":
    address, port, line = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    headers = [h for h in sys.argv[4:] if h]
    s = socket.create_connection((address, port), 5)
    s.settimeout(10)
    s.sendall(("\r\n".join([line, "Host: x"] + headers) + "\r\n\r\n").encode())
    print(first_line(s))
