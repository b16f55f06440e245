#!/usr/bin/env python3
"""A remote-control console written from docs/wire-format.md alone: link handshake, cipher,
frames, archive forms, requests and notifications. Used by test_remote_control.sh.

  rc_client.py scenario PORT STATE.json   the whole first part (prints "ok:"/"FAIL:" lines)
  rc_client.py verify PORT STATE.json     after a restart: the configuration is the same
  rc_client.py proxy PORT "WWWPORT URL"   a browser's fetch seen live, then a purge that leaves
                                          the cache over its limit
  rc_client.py reload PORT TRELLIS-REG    changes made in the store reach the engine with request 13
  rc_client.py socks PORT NEWPORT         a SOCKS service (CSOCKSService) fetched, added and read back
  rc_client.py dhcp PORT PASSWORD         the DHCP service's configuration read, changed and sent back
  rc_client.py operator PORT "HOST PASSWORD SECONDS READYFILE"
                                          Administrator logs in, then works for that long and logs in
                                          once more half-way (a flood runs meanwhile)
  rc_client.py flood PORT "HOST SECONDS"  64 threads try wrong passwords; prints what they heard
"""
import hashlib
import os
import json
import socket
import struct
import sys
import time

FAILS = 0


def check(name, cond, detail=""):
    global FAILS
    if cond:
        print("ok: " + name)
    else:
        FAILS += 1
        print("FAIL: %s %s" % (name, detail))


# ---- cipher and link (section 1) -----------------------------------------------------------

class Cipher:
    def __init__(self, key):
        s = [255 - i for i in range(256)]
        j = 0
        for i in range(256):
            j = (j + s[i] + key[i % 16]) % 256
            s[i], s[j] = s[j], s[i]
        self.s, self.i, self.j = s, 0, 0

    def apply(self, data):
        out = bytearray(len(data))
        s = self.s
        for n, b in enumerate(data):
            self.i = (self.i + 1) % 256
            self.j = (self.j + s[self.i]) % 256
            s[self.i], s[self.j] = s[self.j], s[self.i]
            out[n] = b ^ s[(s[self.i] + s[self.j]) % 256]
        return bytes(out)


class LinkError(Exception):
    def __init__(self, code):
        super().__init__("link refused: %d" % code)
        self.code = code


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            raise EOFError("connection closed")
        buf += part
    return buf


class Console:
    def __init__(self, port, user, password, source="127.0.0.1", host="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(15)
        self.sock.bind((source, 0))
        self.sock.connect((host, port))
        self.notes = []
        self.user = user
        self.handshake(user, password)

    def handshake(self, user, password):
        ln = recv_exact(self.sock, 1)[0]
        msg = recv_exact(self.sock, ln)
        assert msg[0] == 1 and msg[1] == 9 and msg[3] == 1, msg
        challenge = msg[4:].split(b"\0")[0]
        digest = hashlib.md5(challenge + password.encode()).digest()
        text = "".join("%x" % b for b in digest).encode()
        port = self.sock.getsockname()[1]
        body = bytes([1, 9, 2]) + struct.pack("<I", port) + bytes([2]) + user.encode() + b"\0" + text + b"\0"
        self.sock.sendall(bytes([len(body)]) + body)
        try:
            st = recv_exact(self.sock, 5)
        except (EOFError, ConnectionResetError):
            raise LinkError(100)
        if st[4] != 4:
            raise LinkError(st[4])
        self.send_cipher = Cipher(hashlib.md5(challenge + user.encode() + password.encode()).digest())
        self.recv_cipher = Cipher(hashlib.md5(challenge + password.encode() + user.encode()).digest())

    # ---- frames (section 2) ----
    def send_raw(self, data):
        self.sock.sendall(self.send_cipher.apply(data))

    def send_frame(self, payload):
        self.send_raw(struct.pack("<I", len(payload)) + payload)

    def recv_bytes(self, n):
        return self.recv_cipher.apply(recv_exact(self.sock, n))

    def recv_frame(self):
        n = struct.unpack("<I", self.recv_bytes(4))[0]
        return self.recv_bytes(n)

    def send_msg(self, code, t1="", t2="", t3=""):
        w = Writer()
        w.u16(code)
        for t in (t1, t2, t3):
            w.string(t.encode())
        self.send_frame(w.out)

    def recv_msg(self):
        r = Reader(self.recv_frame())
        code = r.u16()
        texts = [r.string().decode("latin-1") for _ in range(3)]
        return code, texts

    # ---- transactions (section 5.2) ----
    def read_notification(self, code, texts):
        frames = []
        for kind in NOTE_FRAMES.get(code, []):
            frames.append(self.recv_frame())
            if kind == "13":
                frames += [self.recv_frame() for _ in range(12)]
        self.notes.append((code, texts, frames))

    def request(self, code, t1="", t2="", t3="", receive=0, upload=()):
        """Returns (reply, frames); uploads go only after reply 1."""
        self.send_msg(code, t1, t2, t3)
        while True:
            c, texts = self.recv_msg()
            if c in (1, 2, 4):
                break
            self.read_notification(c, texts)
        if c != 1:
            return c, []
        frames = [self.recv_frame() for _ in range(receive)]
        for payload in upload:
            self.send_frame(payload)
        c, texts = self.recv_msg()
        return c, frames

    def wait_note(self, code, timeout=10, pred=lambda t: True):
        end = time.time() + timeout
        while time.time() < end:
            for n in self.notes:
                if n[0] == code and pred(n[1]):
                    self.notes.remove(n)
                    return n
            self.sock.settimeout(max(0.1, end - time.time()))
            try:
                c, texts = self.recv_msg()
            except socket.timeout:
                break
            finally:
                self.sock.settimeout(15)
            self.read_notification(c, texts)
        return None

    def close(self):
        self.sock.close()


NOTE_FRAMES = {22: ["user"], 24: ["user"], 25: ["group"], 27: ["group"], 32: ["svc"], 34: ["svc"],
               42: ["13"], 51: ["loc", "map"], 62: ["dialer"], 71: ["machine"], 72: ["machine"], 131: ["cache"],
               151: ["scheduler"]}


# ---- archive (sections 3 and 4) ------------------------------------------------------------

class Reader:
    def __init__(self, data):
        self.d, self.p = data, 0
        self.classes = {}   # index -> name
        self.next_index = 1

    def take(self, n):
        if self.p + n > len(self.d):
            raise ValueError("short")
        b = self.d[self.p:self.p + n]
        self.p += n
        return b

    def u16(self): return struct.unpack("<H", self.take(2))[0]
    def u32(self): return struct.unpack("<I", self.take(4))[0]
    def i32(self): return struct.unpack("<i", self.take(4))[0]
    def f64(self): return struct.unpack("<d", self.take(8))[0]

    def string(self):
        n = self.take(1)[0]
        if n == 0xFF:
            n = self.u16()
            if n == 0xFFFF:
                n = self.u32()
        return self.take(n)

    def count(self):
        n = self.u16()
        return self.u32() if n == 0xFFFF else n

    def tag(self):
        """Class name of the next tagged object, or None for a null tag."""
        t = self.u16()
        if t == 0:
            return None
        if t == 0xFFFF:
            self.u16()  # schema
            name = self.take(self.u16()).decode()
            self.classes[self.next_index] = name
            self.next_index += 1
        elif t & 0x8000:
            name = self.classes[t & 0x7FFF]
        else:
            raise ValueError("object back-reference")
        self.next_index += 1
        return name


class Writer:
    def __init__(self):
        self.out = b""
        self.classes = {}
        self.next_index = 1

    def u16(self, v): self.out += struct.pack("<H", v)
    def u32(self, v): self.out += struct.pack("<I", v)
    def i32(self, v): self.out += struct.pack("<i", v)
    def f64(self, v): self.out += struct.pack("<d", v)

    def string(self, b):
        n = len(b)
        if n < 255:
            self.out += bytes([n])
        elif n < 0xFFFF:
            self.out += b"\xff" + struct.pack("<H", n)
        else:
            self.out += b"\xff\xff\xff" + struct.pack("<I", n)
        self.out += b

    def count(self, n):
        if n < 0xFFFF:
            self.u16(n)
        else:
            self.u16(0xFFFF)
            self.u32(n)

    def tag(self, name):
        if name in self.classes:
            self.u16(0x8000 | self.classes[name])
        else:
            self.u16(0xFFFF)
            self.u16(1)
            self.u16(len(name))
            self.out += name.encode()
            self.classes[name] = self.next_index
            self.next_index += 1
        self.next_index += 1


def scramble(b):
    return bytes(c ^ ((2 * i + 2) % 256) for i, c in enumerate(b))


USER_U32 = ["ClientSendTraffic", "ClientRecvTraffic", "NonClientSendTraffic", "NonClientRecvTraffic", "TimeOnLine"]
USER_CUR = ["ClientSendTrafficRate", "ClientRecvTrafficRate", "NonClientSendTrafficRate",
            "NonClientRecvTrafficRate", "TimeRate", "OpeningBalance", "ClosingBalance"]
USER_FLAGS = ["AccountEnabled", "UserCannotChangePassword", "UserMustChangePassword", "AuditUser", "AuditOptions"]


def read_user(r):
    u = {"Name": r.string().decode(), "Description": r.string().decode(), "RealName": r.string().decode(),
         "Password": scramble(r.string()).hex()}
    for f in USER_U32:
        u[f] = r.u32()
    for f in USER_CUR:
        u[f] = [r.u32(), r.u32(), r.u32()]
    for f in USER_FLAGS:
        u[f] = r.u32()
    return u


def write_user(w, u):
    w.string(u["Name"].encode())
    w.string(u["Description"].encode())
    w.string(u["RealName"].encode())
    w.string(scramble(bytes.fromhex(u["Password"])))
    for f in USER_U32:
        w.u32(u[f])
    for f in USER_CUR:
        for v in u[f]:
            w.u32(v)
    for f in USER_FLAGS:
        w.u32(u[f])


def new_user(name, password):
    u = {"Name": name, "Description": "made by the test", "RealName": "Test " + name,
         "Password": password.encode().hex()}
    for f in USER_U32:
        u[f] = 0
    for f in USER_CUR:
        u[f] = [0, 0, 0]
    u.update(AccountEnabled=1, UserCannotChangePassword=0, UserMustChangePassword=0, AuditUser=0, AuditOptions=0)
    return u


def read_group(r):
    g = {"Name": r.string().decode(), "Description": r.string().decode(), "Members": {}}
    for _ in range(r.count()):
        name = r.string().decode()
        g["Members"][name] = r.u32()
    return g


def read_userdb(data):
    r = Reader(data)
    out = {}
    for _ in range(r.u32()):
        key = r.string().decode()
        cls = r.string().decode()
        out[key] = (cls, read_user(r) if cls == "CUser" else read_group(r))
    assert r.p == len(data)
    return out


def read_timeslice(r):
    return [r.string(), r.string(), r.u32(), r.u32(), r.u32(), r.u32(), r.f64(), r.u32(), r.f64()]


def read_list(r, read_body):
    items = []
    for _ in range(r.count()):
        name = r.tag()
        items.append(None if name is None else read_body(r))
    return items


CRITERION_FIELDS = ["Name", "Description", "Comparison", "DataIndex", "VariableName", "Not",
                    "DataType", "dwData", "nData", "dData", "strData"]


def read_criterion(r):
    vals = [r.string().decode(), r.string().decode(), r.i32(), r.i32(), r.string().decode(), r.i32(),
            r.u32(), r.u32(), r.i32(), r.f64(), r.string().decode()]
    return dict(zip(CRITERION_FIELDS, vals))


def write_criterion(w, c):
    w.string(c["Name"].encode())
    w.string(c["Description"].encode())
    w.i32(c["Comparison"])
    w.i32(c["DataIndex"])
    w.string(c["VariableName"].encode())
    w.i32(c["Not"])
    w.u32(c["DataType"])
    w.u32(c["dwData"])
    w.i32(c["nData"])
    w.f64(c["dData"])
    w.string(c["strData"].encode())


def criterion(index, comparison, value, cls="CRequestCriterion", negate=0, variable=""):
    """A criterion as the console builds one: a text, an unsigned number or a double value."""
    c = dict(Name="", Description="", Comparison=comparison, DataIndex=index, VariableName=variable, Not=negate,
             DataType=2, dwData=0, nData=0, dData=0.0, strData="")
    if isinstance(value, str):
        c["strData"] = value
    elif isinstance(value, float):
        c.update(DataType=3, dData=value)
    else:
        c.update(DataType=1, dwData=value)
    return (cls, c)


def read_filter(r):
    f = {"Name": r.string().decode(), "Description": r.string().decode(), "Criteria": []}
    for _ in range(r.count()):
        cls = r.tag()
        f["Criteria"].append((cls, read_criterion(r)))
    return f


def write_filter(w, f):
    w.string(f["Name"].encode())
    w.string(f["Description"].encode())
    w.count(len(f["Criteria"]))
    for cls, c in f["Criteria"]:
        w.tag(cls)
        write_criterion(w, c)


def read_collection(r):
    return read_list(r, read_filter)


def write_collection(w, filters):
    w.count(len(filters))
    for f in filters:
        w.tag("CRequestFilter")
        write_filter(w, f)


def read_recipient(r):
    rec = [r.string(), r.string()] + [r.u32() for _ in range(5)] + [r.i32()]
    rec.append([r.string() for _ in range(r.count())])
    rec.append([r.string() for _ in range(r.count())])
    rec.append([r.string(), r.string(), read_list(r, read_timeslice), read_list(r, read_timeslice)])
    rec.append(read_filter(r))
    rec.append(read_collection(r))
    return rec


def read_right(r):
    return {"RightType": r.i32(), "Description": r.string().decode(), "IncludeDefaultRights": r.i32(),
            "Recipients": read_list(r, read_recipient)}


def write_recipient(w, rec):
    """A recipient as read_recipient gives it (time filters without time slices only)."""
    w.string(rec[0]), w.string(rec[1])
    for v in rec[2:7]:
        w.u32(v)
    w.i32(rec[7])
    for patterns in (rec[8], rec[9]):
        w.count(len(patterns))
        for p in patterns:
            w.string(p)
    name, description, slices_a, slices_b = rec[10]
    assert not slices_a and not slices_b, "the test writes no time slices"
    w.string(name), w.string(description), w.count(0), w.count(0)
    # The ban filter and the request filters, when read from the engine; a new one has none.
    write_filter(w, rec[11] if len(rec) > 11 else {"Name": "", "Description": "", "Criteria": []})
    write_collection(w, rec[12] if len(rec) > 12 else [])


def write_right(w, right):
    w.i32(right["RightType"])
    w.string(right["Description"].encode())
    w.i32(right["IncludeDefaultRights"])
    w.count(len(right["Recipients"]))
    for rec in right["Recipients"]:
        w.tag("CRecipient")
        write_recipient(w, rec)


SVC_U32_A = ["PortNumber", "Enabled", "RunningState", "TimeOutSessions", "SessionTimeout", "NonProxyRequestAction"]
SVC_U32_B = ["NonProxyRequestPort", "LoggingEnabled", "LogOptions", "RestartNeeded", "LimitSessions",
             "SessionLimit", "BindingOption"]
TCP_CLASSES = ("CTCPService", "CRemoteControlService", "CSOCKSService", "CFTPService", "CPOP3Service",
               "CTelnetService")
SOCKS_U32 = ["UseRFC1929", "DoReverseLookups", "ReferHTTPRequests", "CacheReferredHTTPRequests", "UseSpecifiedPolicy"]


def read_socks_service(r):
    s = read_service(r)
    for f in SOCKS_U32:
        s[f] = r.u32()
    s["HTTPPolicy"] = r.string().decode()
    return s


def write_socks_service(w, s):
    write_service(w, s)
    for f in SOCKS_U32:
        w.u32(s[f])
    w.string(s["HTTPPolicy"].encode())


def read_pop3_service(r):
    s = read_service(r)
    s["Delimiter"] = r.u32()
    return s


def write_pop3_service(w, s):
    write_service(w, s)
    w.u32(s["Delimiter"])


def read_telnet_service(r):
    s = read_service(r)
    s["Prompt"] = r.string().decode()
    s["EnableLogin"] = r.u32()
    return s


def write_telnet_service(w, s):
    write_service(w, s)
    w.string(s["Prompt"].encode())
    w.u32(s["EnableLogin"])


SERVICE_READERS = {"CSOCKSService": read_socks_service, "CPOP3Service": read_pop3_service,
                   "CTelnetService": read_telnet_service}


def read_interface(r):
    return [r.u32(), r.string().decode(), r.string().decode(), r.u32(), r.u32()]


def read_service_base(r):
    s = {"Name": r.string().decode(), "Description": r.string().decode()}
    for f in SVC_U32_A:
        s[f] = r.u32()
    s["NonProxyRequestHost"] = r.string().decode()
    for f in SVC_U32_B:
        s[f] = r.u32()
    s["SpecificBinding"] = r.string().decode()
    s["ReuseAddr"], s["InterfaceMethod"] = r.u32(), r.u32()
    s["Rights"] = [read_right(r) for _ in range(3)]
    bindings = {}
    for _ in range(r.u32()):
        key = r.string().decode()
        r.string()  # class name
        bindings[key] = [r.u32(), read_interface(r)]
    s["Bindings"] = bindings
    s["FixedInterface"] = read_interface(r)
    s["Interfaces"] = read_list(r, read_interface)
    return s


def read_service(r):
    s = read_service_base(r)
    s["ConnectMethod"], s["ProxyServer"], s["ProxyPort"] = r.u32(), r.string().decode(), r.u32()
    s["SOCKS4Password"], s["BypassProxyOnLocal"] = r.string().decode(), r.u32()
    return s


def write_service_base(w, s):
    w.string(s["Name"].encode())
    w.string(s["Description"].encode())
    for f in SVC_U32_A:
        w.u32(s[f])
    w.string(s["NonProxyRequestHost"].encode())
    for f in SVC_U32_B:
        w.u32(s[f])
    w.string(s["SpecificBinding"].encode())
    w.u32(s["ReuseAddr"])
    w.u32(s["InterfaceMethod"])
    for right in s["Rights"]:
        write_right(w, right)
    w.u32(len(s["Bindings"]))
    for key in sorted(s["Bindings"]):
        state, (k, name, addr, lan, outside) = s["Bindings"][key]
        w.string(key.encode()), w.string(b"CBinding"), w.u32(state)
        w.u32(k), w.string(name.encode()), w.string(addr.encode()), w.u32(lan), w.u32(outside)
    k, name, addr, lan, outside = s["FixedInterface"]
    w.u32(k), w.string(name.encode()), w.string(addr.encode()), w.u32(lan), w.u32(outside)
    assert not s["Interfaces"]
    w.count(0)


def write_service(w, s):
    write_service_base(w, s)
    w.u32(s["ConnectMethod"])
    w.string(s["ProxyServer"].encode())
    w.u32(s["ProxyPort"])
    w.string(s["SOCKS4Password"].encode())
    w.u32(s["BypassProxyOnLocal"])


def read_services(data):
    """The services of classes this client knows; reading stops at the first other class."""
    r = Reader(data)
    out = {}
    for _ in range(r.u32()):
        key = r.string().decode()
        cls = r.string().decode()
        if cls in TCP_CLASSES:
            out[key] = (cls, SERVICE_READERS.get(cls, read_service)(r))
        elif cls == "CDHCPService":
            out[key] = (cls, read_dhcp_service(r))
        elif cls == "CDNSService":
            svc = read_service_base(r)
            svc["AllowAutodial"] = r.u32()
            out[key] = (cls, svc)
        else:
            break
    return out


def new_service(name, port):
    right = lambda t: {"RightType": t, "Description": "", "IncludeDefaultRights": 1, "Recipients": []}
    s = {"Name": name, "Description": "test service", "PortNumber": port, "Enabled": 1, "RunningState": 0,
         "TimeOutSessions": 1, "SessionTimeout": 60, "NonProxyRequestAction": 0, "NonProxyRequestHost": "",
         "NonProxyRequestPort": port, "LoggingEnabled": 1, "LogOptions": 219, "RestartNeeded": 0,
         "LimitSessions": 0, "SessionLimit": 5, "BindingOption": 1, "SpecificBinding": "127.0.0.1",
         "ReuseAddr": 0, "InterfaceMethod": 0, "Rights": [right(0), right(1), right(2)], "Bindings": {},
         "FixedInterface": [1, "0.0.0.0", "", 0, 0], "Interfaces": [], "ConnectMethod": 0, "ProxyServer": "",
         "ProxyPort": 0, "SOCKS4Password": "", "BypassProxyOnLocal": 0}
    return s


CACHE_U32 = ["CacheOptions", "LimitCacheSize", "SpecifyWhatToCache", "MaxSize", "AutoPurge",
             "DaysBeforeCheckVolatile", "DaysBeforeCheckNonVolatile"]


def read_cache(r):
    c = {"CacheDirectory": r.string().decode()}
    for f in CACHE_U32:
        c[f] = r.u32()
    c["TotalSize"], c["WeightedTotal"] = r.f64(), r.f64()
    c["CacheFilter"], c["PurgeFilter"] = read_collection(r), read_collection(r)
    return c


def write_cache(w, c):
    w.string(c["CacheDirectory"].encode())
    for f in CACHE_U32:
        w.u32(c[f])
    w.f64(c["TotalSize"])
    w.f64(c["WeightedTotal"])
    write_collection(w, c["CacheFilter"])
    write_collection(w, c["PurgeFilter"])


def tagged(cls, write_body, obj):
    w = Writer()
    w.tag(cls)
    write_body(w, obj)
    return w.out


def bare(write_body, obj):
    w = Writer()
    write_body(w, obj)
    return w.out


# ---- helpers --------------------------------------------------------------------------------

def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def listening(port):
    s = socket.socket()
    s.settimeout(2)
    try:
        s.connect(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def wait_until(pred, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        if pred():
            return True
        time.sleep(0.1)
    return pred()


def closed_by_engine(sock, timeout=20):
    sock.settimeout(timeout)
    try:
        while True:
            if not sock.recv(4096):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def login_admin(port, password):
    c = Console(port, "Administrator", password)
    code, _ = c.recv_msg()
    return c, code


def snapshot(c):
    code, frames = c.request(20, receive=1)
    users = read_userdb(frames[0])
    # Accounting moves with every connection; the configuration is what must stay.
    for cls, u in users.values():
        for f in USER_U32 + ["ClosingBalance"]:
            u.pop(f, None)
    code2, frames2 = c.request(30, receive=2)
    services = read_services(frames2[1])
    svc = services.get("Test Service")
    if svc:
        svc[1].pop("RunningState")
    code3, frames3 = c.request(130, receive=1)
    cache = read_cache(Reader(frames3[0])) if frames3 else None
    if cache:
        cache.pop("TotalSize"), cache.pop("WeightedTotal")  # they follow the stored objects
    return {"users": users, "service": svc, "cache": cache}


# ---- the scenario ---------------------------------------------------------------------------

def scenario(port, state_file):
    # First log-in: Administrator's empty password must be changed first (120), then 5.
    a, code = login_admin(port, "")
    check("administrator must change the password first", code == 120, code)
    reply, _ = a.request(20)
    check("requests before the log-in completes are refused", reply == 2, reply)
    reply, _ = a.request(120, "Administrator", "wrong", "secret")
    check("change password with a wrong old password: done", reply == 3, reply)
    n = a.wait_note(90)
    check("wrong old password: 90 Invalid Password", n and n[1][0] == "Invalid Password", n)
    reply, _ = a.request(120, "Administrator", "", "secret")
    check("change password", reply == 3, reply)
    check("the change completes the log-in (5)", a.wait_note(5) is not None)

    reply, frames = a.request(10, receive=1)
    r = Reader(frames[0]) if frames else None
    check("system information", reply == 3 and r and r.u32() >= 0 and r.u32() >= 0 and r.u32() == 1, reply)
    check("system information names the product", r and r.string().startswith(b"Trellis"))

    reply, frames = a.request(80)
    check("register for everything", reply == 3, reply)

    reply, frames = a.request(20, receive=1)
    users = read_userdb(frames[0])
    check("user database fetched", reply == 3 and {"Administrator", "Guest", "Administrators", "Users"} <= set(users),
          list(users))
    check("passwords are not sent", users["Administrator"][1]["Password"] == "00", users["Administrator"][1]["Password"])
    check("groups carry their members", users["Administrators"][1]["Members"].get("Administrator") == 0)

    reply, frames = a.request(40, receive=13)
    kinds = [Reader(f).i32() for f in frames]
    check("thirteen rights 0-12", reply == 3 and kinds == list(range(13)), kinds)
    check("right 3 is the users right", read_right(Reader(frames[3]))["Description"] == "Users can create and edit users")

    # Users: add bob (no rights), then change his real name from a second console.
    bob = new_user("bob", "bobpw")
    reply, _ = a.request(22, "bob", upload=[bare(write_user, bob)])
    check("add user", reply == 3, reply)
    n = a.wait_note(22, pred=lambda t: t[0] == "bob")
    check("monitor sees 22 with the user", n and read_user(Reader(n[2][0]))["Name"] == "bob", n)
    check("the forwarded user has no password", n and read_user(Reader(n[2][0]))["Password"] == "00")

    c2, code = login_admin(port, "secret")
    check("second console logs in with the new password", code == 5, code)
    bob2 = dict(bob, RealName="Robert", Password="00")  # password unchanged
    bob2["ClientSendTraffic"] = 123456  # accounting is the engine's: ignored
    reply, _ = c2.request(24, "bob", upload=[bare(write_user, bob2)])
    check("modify user", reply == 3, reply)
    n = a.wait_note(24, pred=lambda t: t[0] == "bob")
    got = read_user(Reader(n[2][0])) if n else {}
    check("monitor sees the change", got.get("RealName") == "Robert", got)
    check("counters are not taken from a console", got.get("ClientSendTraffic") == 0, got)
    reply, _ = c2.request(23, "Administrator")
    check("deleting Administrator is refused", reply == 2, reply)
    reply, _ = c2.request(26, "Users")
    check("deleting Users is refused", reply == 2, reply)
    reply, _ = c2.request(99)
    check("unknown code refused", reply == 2, reply)

    # Wrong password: status 108. Bob's password was kept (the unchanged mark): he logs in.
    try:
        Console(port, "bob", "nope")
        check("wrong password refused", False)
    except LinkError as e:
        check("wrong password refused with status 108", e.code == 108, e.code)
    b = Console(port, "bob", "bobpw", source="127.0.0.2")
    code, _ = b.recv_msg()
    check("bob logs in from 127.0.0.2", code == 5, code)
    for req in (20, 30, 40, 80, 140, 13):
        reply, _ = b.request(req)
        check("bob without the right: %d refused" % req, reply == 2, reply)
    reply, _ = b.request(12)
    check("any console may commit the configuration", reply == 3, reply)
    n71 = a.wait_note(71, pred=lambda t: t[0] == "127.0.0.2")
    check("monitor sees machine 71 with its record", n71 and Reader(n71[2][0]).string() == b"127.0.0.2", n71)
    check("a console log-in leaves the machine's user alone", n71 and n71[1][1] != "bob", n71 and n71[1])
    check("monitor sees session 74", a.wait_note(74, pred=lambda t: t[0] == "127.0.0.2") is not None)
    reply, _ = b.request(10, receive=1)
    check("bob may read the system information", reply == 3, reply)
    # A console's message and signal reach every console at the address, registered or not.
    reply, _ = a.request(91, "127.0.0.2", "hello bob")
    check("send a message to 127.0.0.2", reply == 3, reply)
    n = b.wait_note(91)
    check("an unregistered console hears 91", n and n[1] == ["127.0.0.1", "Administrator", "hello bob"], n)
    reply, _ = a.request(100, "127.0.0.2")
    check("send a signal to 127.0.0.2", reply == 3, reply)
    n = b.wait_note(101)
    check("an unregistered console hears 101", n and n[1] == ["127.0.0.1", "Administrator", ""], n)
    check("monitor sees session 75", a.wait_note(75, pred=lambda t: t[0] == "127.0.0.2") is not None)
    b.close()
    check("monitor sees session end 76", a.wait_note(76, pred=lambda t: t[0] == "127.0.0.2") is not None)
    check("monitor sees machine gone 73", a.wait_note(73, pred=lambda t: t[0] == "127.0.0.2") is not None)

    # Services.
    reply, frames = a.request(30, receive=2)
    services = read_services(frames[1]) if len(frames) == 2 else {}
    check("services fetched", reply == 3 and "Remote Control Service" in services, list(services))
    p1, p2 = free_port(), free_port()
    svc = new_service("Test Service", p1)
    reply, _ = a.request(32, "Test Service", upload=[tagged("CTCPService", write_service, svc)])
    check("add service", reply == 3, reply)
    check("added service listens", wait_until(lambda: listening(p1)))
    check("monitor sees 32", a.wait_note(32, pred=lambda t: t[0] == "Test Service") is not None)
    reply, _ = a.request(35, "Test Service", "0")
    check("stop service", reply == 3 and wait_until(lambda: not listening(p1)), reply)
    n = a.wait_note(35, pred=lambda t: t[0] == "Test Service" and t[1] == "0")
    check("monitor sees 35 stopped", n is not None)
    reply, _ = a.request(35, "Test Service", "1")
    check("start service", reply == 3 and wait_until(lambda: listening(p1)), reply)
    reply, _ = a.request(35, "Remote Control Service", "0")
    check("stopping the consoles' service is refused", reply == 2, reply)
    svc2 = dict(svc, PortNumber=p2, SessionTimeout=321, Description="changed")
    reply, _ = c2.request(34, "Test Service", upload=[bare(write_service, svc2)])
    check("modify service", reply == 3, reply)
    check("changed service moved to its new port", wait_until(lambda: listening(p2) and not listening(p1)))
    n = a.wait_note(34, pred=lambda t: t[0] == "Test Service")
    if n:
        r = Reader(n[2][0])
        cls = r.tag()
        s = read_service(r)
        check("monitor sees 34 class-tagged", cls == "CTCPService" and s["SessionTimeout"] == 321, (cls, s))
    else:
        check("monitor sees 34", False)

    # Cache settings.
    reply, frames = a.request(130, receive=1)
    check("cache settings fetched", reply == 3 and len(frames) == 1, reply)
    cache = read_cache(Reader(frames[0]))
    live_totals = (cache["TotalSize"], cache["WeightedTotal"])
    cache["MaxSize"] = cache["MaxSize"] + 7
    # Totals a console sends are not the cache's: the engine keeps counting its own.
    reply, _ = c2.request(131, upload=[bare(write_cache, dict(cache, TotalSize=123456789.0, WeightedTotal=987.0))])
    check("cache settings uploaded", reply == 3, reply)
    n = a.wait_note(131)
    got = read_cache(Reader(n[2][0])) if n else {}
    check("monitor sees 131 with the settings", got.get("MaxSize") == cache["MaxSize"], n)
    check("the live cache keeps its own totals", (got.get("TotalSize"), got.get("WeightedTotal")) == live_totals, got)

    # Malformed frames close only that console.
    def malformed(name, send):
        m, code = login_admin(port, "secret")
        send(m)
        check("malformed frame (%s) closes the console" % name, closed_by_engine(m.sock))
        m.close()

    malformed("over the cap", lambda m: m.send_raw(struct.pack("<I", 16 * 1024 * 1024 + 1)))

    def unknown_class(m):
        m.send_msg(32, "X")
        m.recv_msg()
        w = Writer()
        w.tag("CNoSuchService")
        w.u32(0)
        m.send_frame(w.out)

    malformed("unknown class", unknown_class)

    def big_count(m):
        m.send_msg(21)
        m.recv_msg()
        m.send_frame(struct.pack("<I", 100000))

    malformed("count larger than the data", big_count)

    def short(m):
        m.send_raw(struct.pack("<I", 50) + b"\x14\x00")
        m.sock.shutdown(socket.SHUT_WR)

    malformed("short frame", short)
    reply, _ = a.request(10, receive=1)
    check("other consoles go on after the malformed ones", reply == 3, reply)
    reply, frames = a.request(20, receive=1)
    check("nothing half-read was applied", reply == 3 and set(read_userdb(frames[0])) == set(users) | {"bob"})

    # The cache settings are written with the configuration: this console commits it.
    reply, _ = a.request(12)
    check("commit configuration to disk", reply == 3, reply)
    json.dump(snapshot(a), open(state_file, "w"))
    a.close()
    c2.close()


def verify(port, state_file):
    before = json.load(open(state_file))
    a, code = login_admin(port, "secret")
    check("log-in after the restart with the changed password", code == 5, code)
    after = json.loads(json.dumps(snapshot(a)))
    check("user database survives the restart", after["users"] == before["users"])
    check("changed service survives the restart", after["service"] == before["service"],
          (after["service"], before["service"]))
    check("cache settings survive the restart", after["cache"] == before["cache"], (after["cache"], before["cache"]))
    port2 = before["service"][1]["PortNumber"]
    check("changed service listens after the restart", wait_until(lambda: listening(port2)))
    a.close()


def proxy(port, args):
    # A browser's fetch through the web proxy, seen live by a monitoring console: the machine
    # appears (71), its session starts (74), ends (76), and the machine goes (73).
    proxy_port, url = args.split(" ", 1)
    a, code = login_admin(port, "secret")
    check("log-in for the proxy watch", code == 5, code)
    reply, _ = a.request(80)
    check("register for everything", reply == 3, reply)
    import subprocess
    fetched = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--interface", "127.0.0.5",
                              "-x", "http://127.0.0.1:" + proxy_port, url], capture_output=True, text=True, timeout=30)
    check("curl fetched through the proxy", fetched.stdout == "200", fetched.stdout + fetched.stderr)
    for code in (71, 74, 76, 73):
        check("monitor sees %d for the browser's machine" % code,
              a.wait_note(code, pred=lambda t: t[0] == "127.0.0.5") is not None)

    # The page is stored. A purge that leaves the cache over its limit (nothing matches the empty
    # purge filter, and the limit is now 0 MB) turns additions off and tells the consoles with 131.
    def cache_settings():
        reply, frames = a.request(130, receive=1)
        return read_cache(Reader(frames[0])) if reply == 3 and frames else None
    check("the fetched page is in the cache", wait_until(lambda: (cache_settings() or {}).get("TotalSize", 0) > 0))
    before = cache_settings()
    reply, _ = a.request(131, upload=[bare(write_cache, dict(before, MaxSize=0))])
    check("cache limit set to 0 MB", reply == 3, reply)
    a.wait_note(131)  # the update itself, forwarded
    reply, _ = a.request(132)
    check("purge started", reply == 3, reply)
    n = a.wait_note(131)
    full = read_cache(Reader(n[2][0])) if n else {}
    check("a purge that leaves the cache full sends 131 with the settings",
          full.get("MaxSize") == 0 and full.get("CacheOptions", 1) & 1 == 0, full)
    reply, _ = a.request(131, upload=[bare(write_cache, before)])
    check("cache settings put back", reply == 3, reply)
    a.close()


def cache_filters(port, args):
    """What-to-cache and purge filters sent by a console decide what the engine caches and purges."""
    import subprocess
    proxy_port, origin, log = args.split(" ", 2)
    a, code = login_admin(port, "secret")
    check("log-in for the cache filters", code == 5, code)

    def hits(path):
        with open(log) as f:
            return sum(1 for line in f if '"GET %s ' % path in line)

    def fetch(path):
        r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                            "http://127.0.0.1:" + proxy_port, origin + path], capture_output=True, text=True, timeout=30)
        check("fetched " + path, r.stdout == "200", r.stdout + r.stderr)

    def settings():
        reply, frames = a.request(130, receive=1)
        return read_cache(Reader(frames[0])) if reply == 3 and frames else None

    def send(c):
        reply, _ = a.request(131, upload=[bare(write_cache, c)])
        check("cache settings sent", reply == 3, reply)

    base = settings()
    keep = {"Name": "Keep", "Description": "only /keep/", "Criteria": [criterion(15, 3, "/keep/")]}
    send(dict(base, SpecifyWhatToCache=1, CacheFilter=[keep], PurgeFilter=[]))
    got = settings()
    check("the what-to-cache filter comes back as sent", got["CacheFilter"] == [keep], got["CacheFilter"])
    for path in ("/keep/a.css", "/skip/b.css"):
        fetch(path)
        fetch(path)
    check("a matching response is cached", hits("/keep/a.css") == 1, hits("/keep/a.css"))
    check("a response no filter matches is not cached", hits("/skip/b.css") == 2, hits("/skip/b.css"))

    # Everything cached now; the purge removes the .css entries under /keep/ and nothing else.
    send(dict(base, SpecifyWhatToCache=0, CacheFilter=[], PurgeFilter=[]))
    for path in ("/keep/c.css", "/keep/d.txt", "/skip/b.css"):
        fetch(path)
    purge = {"Name": "Old styles", "Description": "", "Criteria": [
        criterion(0, 5, ".CSS", cls="CCachePurgeCriterion"), criterion(0, 3, "/keep/", cls="CCachePurgeCriterion"),
        criterion(2, 1, 0, cls="CCachePurgeCriterion")]}
    send(dict(base, SpecifyWhatToCache=0, CacheFilter=[], PurgeFilter=[purge]))
    got = settings()
    check("the purge filter comes back as sent", got["PurgeFilter"] == [purge], got["PurgeFilter"])
    before = {p: hits(p) for p in ("/keep/a.css", "/keep/c.css", "/keep/d.txt", "/skip/b.css")}
    reply, _ = a.request(132)
    check("purge started", reply == 3, reply)
    check("purge ended", wait_until(lambda: (settings() or {}).get("CacheOptions", 0) & 3 == 3))
    for path in before:
        fetch(path)
    check("purged entries are fetched again", [hits(p) - before[p] for p in before] == [1, 1, 0, 0],
          [hits(p) - before[p] for p in before])
    send(dict(base, CacheFilter=[], PurgeFilter=[]))
    a.close()


EVENT_U32 = ["Every", "EveryWhat", "DayOfMonth", "DayOfWeek"]


def read_event(r):
    e = {"ID": r.u32(), "Enabled": r.u32(), "Description": r.string().decode()}
    for f in EVENT_U32:
        e[f] = r.u32()
    e["AtTime"] = (r.u32(), r.f64())
    e["Actions"] = []
    for _ in range(r.count()):
        assert r.tag() == "CScheduleEventAction"
        e["Actions"].append((r.u32(), r.string().decode(), r.u32()))
    return e


def write_event(w, e):
    w.u32(e["ID"])
    w.u32(e["Enabled"])
    w.string(e["Description"].encode())
    for f in EVENT_U32:
        w.u32(e[f])
    w.u32(e["AtTime"][0])
    w.f64(e["AtTime"][1])
    w.count(len(e["Actions"]))
    for code, data, flag in e["Actions"]:
        w.tag("CScheduleEventAction")
        w.u32(code)
        w.string(data.encode())
        w.u32(flag)


def read_scheduler(data):
    r = Reader(data)
    s = {"LoggingEnabled": r.u32(), "LogOptions": r.u32(), "Events": {}}
    for _ in range(r.u32()):
        key = r.string().decode()
        assert r.string().decode() == "CScheduleEvent"
        s["Events"][key] = read_event(r)
    assert r.p == len(data), "bytes left after the scheduler"
    return s


def write_scheduler(w, s):
    w.u32(s["LoggingEnabled"])
    w.u32(s["LogOptions"])
    w.u32(len(s["Events"]))
    for key in sorted(s["Events"]):
        w.string(key.encode())
        w.string(b"CScheduleEvent")
        write_event(w, s["Events"][key])


def day_count(t):
    """Local date-time as days since 30 December 1899, as the engine keeps it."""
    import datetime
    d = datetime.datetime.fromtimestamp(t) - datetime.datetime(1899, 12, 30)
    return d.days + d.seconds / 86400.0


def scheduler(port, args):
    """A console sets up events, runs one at once (152), and sees one fire at its minute."""
    import glob
    import subprocess
    www_port, logs = args.split(" ", 1)
    a, code = login_admin(port, "secret")
    check("log-in for the scheduler", code == 5, code)
    b, code = login_admin(port, "secret")
    reply, _ = b.request(80)
    reply, frames = a.request(150, receive=1)
    check("scheduler sent", reply == 3 and frames, reply)
    s = read_scheduler(frames[0])
    check("defaults: logging on, options 47", (s["LoggingEnabled"], s["LogOptions"]) == (1, 47), s)

    def listening():
        return subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/" + www_port],
                              capture_output=True).returncode == 0
    check("the web proxy listens", listening())
    # The next whole minute, at least 8 s away so the upload is in before it.
    now = time.time()
    at = (int(now) // 60 + 1) * 60
    if at - now < 8:
        at += 60
    stop = {"ID": 1, "Enabled": 1, "Description": "Stop the proxy", "Every": 0, "EveryWhat": 0, "DayOfMonth": 1,
            "DayOfWeek": 1, "AtTime": (0, day_count(at)), "Actions": [(1, "WWW Proxy server", 0)]}
    start = dict(stop, ID=2, Description="Start the proxy", Every=1, EveryWhat=2, AtTime=(0, 0.0),
                 Actions=[(2, "WWW Proxy server", 0)])
    run = dict(stop, ID=3, Description="Say hello", Enabled=0,
               Actions=[(14, '/bin/echo "scheduled hello"', 1), (14, "/nonexistent/tool", 0)])
    accounts = logs + "/accounts.tsv"
    export = dict(stop, ID=4, Description="Export", Enabled=0,
                  Actions=[(9, accounts, 0), (9, accounts, 1), (7, "", 0)])
    s["Events"] = {"%010u" % e["ID"]: e for e in (stop, start, run, export)}
    reply, _ = a.request(151, upload=[bare(write_scheduler, s)])
    check("scheduler uploaded", reply == 3, reply)
    n = b.wait_note(151)
    check("151 tells the other console", n is not None and read_scheduler(n[2][0])["Events"].keys() == s["Events"].keys())
    reply, frames = a.request(150, receive=1)
    got = read_scheduler(frames[0]) if reply == 3 else {}
    check("the events come back as sent", got.get("Events") == s["Events"], got)

    reply, _ = a.request(152, "3")
    check("event 3 run at once", reply == 3, reply)
    reply, _ = a.request(152, "4")
    check("event 4 run at once", reply == 3, reply)
    import csv
    with open(accounts, newline="") as f:
        rows = list(csv.reader(f, delimiter="\t"))
    check("the export starts with its header", rows and rows[0][:3] == ["Timestamp", "Username", "Real Name"]
          and rows[0][-1] == "Closing", rows[:1])
    check("the appending export adds no second header", sum(1 for r in rows if r[0] == "Timestamp") == 1, rows)
    check("every line has ten fields", all(len(r) == 10 for r in rows), rows)
    users = [r[1] for r in rows[1:]]
    check("each user twice, groups never", users.count("Administrator") == 2 and "Administrators" not in users,
          users)
    check("numbers are numbers", all(r[k].isdigit() for r in rows[1:] for k in range(3, 8)), rows)
    reply, _ = a.request(152, "77")
    check("an unknown event runs nothing", reply == 3, reply)
    reply, _ = a.request(152, "x; rm -rf /")
    check("a malformed id runs nothing", reply == 3, reply)

    def log_text():
        out = ""
        for f in glob.glob(logs + "/Scheduler.*.log"):
            with open(f, encoding="latin-1", newline="") as fh:
                out += fh.read()
        return out
    check("the program's output is in the scheduler's log", wait_until(lambda: "echo: scheduled hello" in log_text()),
          log_text())
    check("a missing program is logged", "Cannot run /nonexistent/tool: No such file or directory" in log_text())
    check("the forced event is logged", "\tEvent forced: Say hello\r\n" in log_text())
    check("the change is logged", "\tConfig changed\r\n" in log_text())

    # The one-off event fires at its minute (a real wait of under 70 s) and stops the proxy.
    check("the proxy stops at the event's minute", wait_until(lambda: not listening(), timeout=at - time.time() + 10))
    check("the event was processed", "\tEvent processed: Stop the proxy\r\n" in log_text(), log_text())
    reply, _ = a.request(152, "2")
    check("event 2 run at once", reply == 3, reply)
    check("the proxy listens again", wait_until(listening))
    a.close()
    b.close()


def reload(port, reg):
    """What an operator changes in the store reaches the running engine with request 13."""
    import subprocess

    def regset(key, value, typ, data):
        subprocess.run([reg, "set", key, value, typ, str(data)], check=True, capture_output=True)

    a, code = login_admin(port, "secret")
    check("log-in for the reload", code == 5, code)
    reply, frames = a.request(30, receive=2)
    old_port = read_services(frames[1])["Test Service"][1]["PortNumber"] if reply == 3 else 0
    new_port, added_port = free_port(), free_port()
    regset(r"Services\Test Service", "PortNumber", "dword", new_port)
    added = r"Services\Reload Service"
    for value, typ, data in (("ServiceType", "sz", "CTCPService"), ("Name", "sz", "Reload Service"),
                             ("PortNumber", "dword", added_port), ("BindingOption", "dword", 1),
                             ("SpecificBinding", "sz", "127.0.0.1")):
        regset(added, value, typ, data)
    regset(r"UserDatabase\bob", "RealName", "sz", "Bobby")
    regset("Cache", "MaxSize", "dword", 4242)
    # The consoles' own service: only Administrators may log in now, and terminations are logged.
    rc = r"Services\Remote Control Service"
    regset(rc, "LogOptions", "dword", 255)
    regset(rc + r"\AccessRights", "IncludeDefaultRights", "dword", 0)
    regset(rc + r"\AccessRights\Recipient0", "UserName", "sz", "Administrators")
    regset(rc + r"\AccessRights\Recipient0", "SpecifyUser", "dword", 1)
    check("the store alone changes nothing", listening(old_port) and not listening(new_port)
          and not listening(added_port))

    reply, _ = a.request(13)
    check("reload configuration from disk", reply == 3, reply)
    check("a changed service moves to its stored port", wait_until(lambda: listening(new_port) and not listening(old_port)))
    check("a newly stored service listens", wait_until(lambda: listening(added_port)))
    reply, frames = a.request(20, receive=1)
    users = read_userdb(frames[0]) if reply == 3 else {}
    check("a stored change of a user is live", users.get("bob", (0, {}))[1].get("RealName") == "Bobby", users.get("bob"))
    reply, frames = a.request(130, receive=1)
    check("stored cache settings are live", reply == 3 and read_cache(Reader(frames[0]))["MaxSize"] == 4242, reply)
    reply, _ = a.request(10, receive=1)
    check("the requesting console goes on after its service was replaced", reply == 3, reply)
    c, code = login_admin(port, "secret")
    check("a new console logs in to the replaced service", code == 5, code)
    c.close()
    b = Console(port, "bob", "bobpw", source="127.0.0.2")
    code, texts = b.recv_msg()
    check("a log-in the access right refuses hears 90 Access Denied",
          code == 90 and texts[:2] == ["Access Denied", "You are not allowed to log in"], (code, texts))
    check("and the engine closes it", closed_by_engine(b.sock))
    b.close()

    subprocess.run([reg, "delete", added], check=True, capture_output=True)
    subprocess.run([reg, "delete", r"UserDatabase\bob"], check=True, capture_output=True)
    reply, _ = a.request(13)
    check("second reload", reply == 3, reply)
    check("a service no longer stored stops", wait_until(lambda: not listening(added_port)))
    check("the others keep listening", listening(new_port) and listening(port))
    reply, frames = a.request(20, receive=1)
    users = read_userdb(frames[0]) if reply == 3 else {}
    check("a user no longer stored is gone, the built-in accounts stay",
          "bob" not in users and {"Administrator", "Guest", "Administrators", "Users"} <= set(users), list(users))
    a.close()


def capture(port, out_dir):
    """Writes the payloads of the engine's services (30) and cache settings (130) frames to
    out_dir/services.bin and out_dir/cache.bin, byte for byte as they arrived."""
    a, code = login_admin(port, "")
    if code == 120:
        reply, _ = a.request(120, "Administrator", "", "secret")
        check("change password", reply == 3, reply)
        check("the change completes the log-in (5)", a.wait_note(5) is not None)
    else:
        check("log-in", code == 5, code)
    reply, frames = a.request(30, receive=2)
    check("services fetched", reply == 3 and len(frames) == 2, reply)
    reply2, frames2 = a.request(130, receive=1)
    check("cache settings fetched", reply2 == 3 and len(frames2) == 1, reply2)
    if reply == 3 and reply2 == 3:
        with open(os.path.join(out_dir, "services.bin"), "wb") as f:
            f.write(frames[1])
        with open(os.path.join(out_dir, "cache.bin"), "wb") as f:
            f.write(frames2[0])
    a.close()


# ---- the dialer (section 4.18) --------------------------------------------------------------

DIALER_U32 = ["LoggingEnabled", "LogOptions", "TimerInterval", "UseSynchronousRasdial", "RasdialTimeout",
              "TimeBetweenRetries"]


def read_profile(r):
    p = {"Name": r.string().decode(), "Description": r.string().decode(), "AutoConnect": r.u32(),
         "AutoDisconnect": r.u32(), "DisconnectAfter": r.u32(), "ProfileName": r.string().decode(),
         "Username": r.string().decode(), "Password": scramble(r.string()).decode(),
         "Domain": r.string().decode(), "Retries": r.i32(), "Status": r.string().decode()}
    start = r.p
    p["AccessRights"] = read_right(r)
    p["RightBytes"] = r.d[start:r.p]  # written back as read
    return p


def write_profile(w, p):
    w.string(p["Name"].encode())
    w.string(p["Description"].encode())
    for f in ("AutoConnect", "AutoDisconnect", "DisconnectAfter"):
        w.u32(p[f])
    for f in ("ProfileName", "Username"):
        w.string(p[f].encode())
    w.string(scramble(p["Password"].encode()))
    w.string(p["Domain"].encode())
    w.i32(p["Retries"])
    w.string(p["Status"].encode())
    if "RightBytes" in p:
        w.out += p["RightBytes"]
    else:
        write_right(w, {"RightType": 0, "Description": "Users can use this dialer account",
                        "IncludeDefaultRights": 0, "Recipients": []})


def read_dialer(data):
    r = Reader(data)
    d = {"Profiles": {}}
    for _ in range(r.u32()):
        name = r.string().decode()
        d["Profiles"][name] = read_profile(r)
    d["Phonebook"] = [r.string().decode() for _ in range(r.count())]
    d["LocalSites"] = [r.string().decode() for _ in range(r.count())]
    for f in DIALER_U32:
        d[f] = r.u32()
    if r.p != len(data):
        raise ValueError("bytes left after the dialer")
    return d


def write_dialer(w, d):
    w.u32(len(d["Profiles"]))
    for name in sorted(d["Profiles"]):
        w.string(name.encode())
        write_profile(w, d["Profiles"][name])
    for key in ("Phonebook", "LocalSites"):
        w.count(len(d[key]))
        for s in d[key]:
            w.string(s.encode())
    for f in DIALER_U32:
        w.u32(d[f])


def dialer(port, args):
    """Requests 60-63 and notification 63 against an engine dialling through the simulator."""
    password, phonebook = args.split(" ", 1)
    try:
        a, code = login_admin(port, password)
    except LinkError:
        a, code = login_admin(port, "")
    if code == 120:
        reply, _ = a.request(120, "Administrator", "", password)
        check("password set", reply == 3 and a.wait_note(5) is not None, reply)
    else:
        check("log-in", code == 5, code)
    b, code = login_admin(port, password)
    check("second console logs in", code == 5, code)
    for c in (a, b):
        reply, _ = c.request(84)
        check("register for dialler updates", reply == 3, reply)

    reply, frames = a.request(60, receive=1)
    check("dialer fetched", reply == 3 and len(frames) == 1, reply)
    d = read_dialer(frames[0])
    office = d["Profiles"].get("Office", {})
    check("the stored profile comes with its settings", office.get("ProfileName") == "Sim ISP" and
          office.get("Retries") == 2 and office.get("Password") == "", office)
    check("the phonebook is the layer's", sorted(d["Phonebook"]) == ["Broken ISP", "Sim ISP"], d["Phonebook"])
    check("local sites", d["LocalSites"] == ["127.0.0.8"], d["LocalSites"])

    # The phonebook's entries are dial-up interfaces (kind 2) of the engine's interface list.
    reply, frames = a.request(30, receive=2)
    r = Reader(frames[0]) if frames else Reader(b"")
    interfaces = {}
    for _ in range(r.u32() if frames else 0):
        key, cls = r.string().decode(), r.string().decode()
        interfaces[key] = read_interface(r)
    check("the phonebook entries are dial-up interfaces",
          interfaces.get("Sim ISP", [0])[0] == 2 and interfaces.get("Broken ISP", [0])[0] == 2, interfaces)

    # Upload: a changed value, a new profile (with a password) and TimerInterval 0, which the
    # engine takes as 2; the other console hears 62 with the new form.
    d2 = dict(d)
    d2["Profiles"] = dict(d["Profiles"])
    d2["Profiles"]["Backup"] = {"Name": "Backup", "Description": "", "AutoConnect": 0, "AutoDisconnect": 1,
                                "DisconnectAfter": 60, "ProfileName": "Broken ISP", "Username": "b",
                                "Password": "pw", "Domain": "", "Retries": 1, "Status": ""}
    d2["TimerInterval"] = 0
    w = Writer()
    write_dialer(w, d2)
    reply, _ = a.request(62, upload=[w.out])
    check("dialer modified", reply == 3, reply)
    n = b.wait_note(62)
    got = read_dialer(n[2][0]) if n else {}
    check("other console hears 62 with the dialer", "Backup" in got.get("Profiles", {}), got)
    check("TimerInterval 0 is taken as 2", got.get("TimerInterval") == 2, got.get("TimerInterval"))
    check("the engine keeps the password it was sent", got.get("Profiles", {}).get("Backup", {}).get("Password") == "pw")

    # A malformed dialer (a profile name that cannot be a key) is refused and changes nothing.
    bad = dict(d2)
    bad["Profiles"] = {"a\\b": dict(office, Name="a\\b")}
    w = Writer()
    write_dialer(w, bad)
    reply, _ = a.request(61, upload=[w.out])
    check("a profile name with a backslash is refused", reply == 4, reply)
    a.close()
    a, code = login_admin(port, password)
    reply, frames = a.request(60, receive=1)
    check("nothing of the refused upload applied", reply == 3 and "Backup" in read_dialer(frames[0])["Profiles"])

    # Dial and hang up from the console; every console hears 63 as the profile's state moves.
    reply, _ = a.request(84)
    reply, _ = a.request(63, "Office", "1")
    check("dial accepted", reply == 3, reply)
    n = b.wait_note(63, timeout=15, pred=lambda t: t[0] == "Office" and t[2] == "On line to Sim ISP")
    check("63 tells the link is on line", n is not None)
    n = b.wait_note(63, timeout=15, pred=lambda t: t[0] == "Office" and t[1] == "1" and t[2] == "Connected")
    check("63 carries the connected state", n is not None)
    reply, _ = a.request(63, "Office", "0")
    check("hang-up accepted", reply == 3, reply)
    n = b.wait_note(63, timeout=15, pred=lambda t: t[0] == "Office" and t[2] == "Disconnected from Sim ISP")
    check("63 tells the link is down", n is not None and n[1][1] == "0", n)
    reply, _ = a.request(63, "Nobody", "1")
    check("a dial of an unknown profile changes nothing", reply == 3, reply)

    # A dial that hangs holds no lock the console waits for.
    with open(phonebook, "a") as f:
        f.write("[Slow ISP]\noutcome=hang\n")
    d3 = read_dialer(a.request(60, receive=1)[1][0])
    d3["Profiles"]["Slow"] = dict(d3["Profiles"]["Backup"], Name="Slow", ProfileName="Slow ISP", AutoConnect=0)
    w = Writer()
    write_dialer(w, d3)
    reply, _ = a.request(61, upload=[w.out])
    check("slow profile added", reply == 3, reply)
    reply, _ = a.request(63, "Slow", "1")
    b.wait_note(63, timeout=10, pred=lambda t: t[0] == "Slow" and t[2] == "Dialing Slow ISP")
    started = time.time()
    reply, frames = a.request(60, receive=1)
    check("the dialer is fetched while a dial runs", reply == 3 and time.time() - started < 3, time.time() - started)
    reply, _ = a.request(63, "Slow", "0")
    check("the running dial is reset", reply == 3 and b.wait_note(
        63, timeout=15, pred=lambda t: t[0] == "Slow" and t[2] == "Disconnected from Slow ISP") is not None)
    a.close()
    b.close()


def socks(port, newport):
    """The SOCKS service's archive form both ways: the first-run service as fetched, a new one
    uploaded with every SOCKS field changed, and the same read back from the engine."""
    a, code = login_admin(port, "")
    if code == 120:
        reply, _ = a.request(120, "Administrator", "", "secret")
        check("password set", reply == 3, reply)
    reply, frames = a.request(30, receive=2)
    services = read_services(frames[1]) if len(frames) == 2 else {}
    first = services.get("SOCKS Proxy server")
    check("first-run SOCKS service fetched", first and first[0] == "CSOCKSService" and
          [first[1][f] for f in SOCKS_U32] == [0, 0, 1, 1, 0] and first[1]["HTTPPolicy"] == "", first)
    svc = dict(new_service("Second SOCKS", int(newport)), UseRFC1929=1, DoReverseLookups=1, ReferHTTPRequests=0,
               CacheReferredHTTPRequests=0, UseSpecifiedPolicy=1, HTTPPolicy="WWW Proxy server")
    reply, _ = a.request(32, "Second SOCKS", upload=[tagged("CSOCKSService", write_socks_service, svc)])
    check("SOCKS service added", reply == 3, reply)
    check("added SOCKS service listens", wait_until(lambda: listening(int(newport))))
    reply, frames = a.request(30, receive=2)
    back = (read_services(frames[1]) if len(frames) == 2 else {}).get("Second SOCKS")
    check("SOCKS fields read back", back and back[0] == "CSOCKSService" and
          all(back[1][f] == svc[f] for f in SOCKS_U32 + ["HTTPPolicy", "PortNumber"]), back)
    # The other gateways' forms: each uploaded with its own fields changed, then read back.
    others = [("CFTPService", "Second FTP", write_service, {}),
              ("CPOP3Service", "Second POP3", write_pop3_service, {"Delimiter": ord("%")}),
              ("CTelnetService", "Second Telnet", write_telnet_service, {"Prompt": "Gate>", "EnableLogin": 0})]
    for cls, name, writer, fields in others:
        svc = dict(new_service(name, free_port()), **fields)
        reply, _ = a.request(32, name, upload=[tagged(cls, writer, svc)])
        check("%s added" % cls, reply == 3, reply)
    reply, frames = a.request(30, receive=2)
    services = read_services(frames[1]) if len(frames) == 2 else {}
    for cls, name, writer, fields in others:
        back = services.get(name)
        check("%s read back" % cls, back and back[0] == cls and all(back[1][f] == v for f, v in fields.items()), back)


# ---- the DHCP server's configuration (docs/wire-format.md 4.19) ------------------------------------

def read_options(r):
    out = {}
    for _ in range(r.u32()):
        r.take(1)  # the code again
        code, n = r.take(1)[0], r.take(1)[0]
        out[code] = bytes(r.u16() & 0xFF for _ in range(n))
    return out


def write_options(w, options):
    w.u32(len(options))
    for code in sorted(options):
        data = options[code]
        w.out += bytes([code, code, len(data)])
        for b in data:
            w.u16(b)


def read_dhcp_database(r):
    d = {"OperatingMode": r.u32(), "AutoOptions": r.u32(), "Scopes": {}, "Reservations": {}}
    for _ in range(r.u32()):
        key, cls = r.string().decode(), r.string().decode()
        assert cls == "CDHCPScope", cls
        sc = {"ScopeID": r.u32(), "NetMask": r.u32(), "Description": r.string().decode(),
              "BoundInterface": r.string().decode(), "LeaseDuration": r.u32(), "Enabled": r.u32(),
              "InclusionRange": (r.u32(), r.u32())}
        sc["Exclusions"] = [(r.u32(), r.u32()) for _ in range(r.u32())]
        sc["Options"] = read_options(r)
        d["Scopes"][key] = sc
    for _ in range(r.u32()):
        key, cls = r.string().decode(), r.string().decode()
        assert cls == "CDHCPReservation", cls
        d["Reservations"][key] = {"IPAddress": r.string().decode(), "MatchData": r.string().decode(),
                                  "MatchOn": r.u32(), "ScopeID": r.u32(), "Options": read_options(r)}
    d["GlobalOptions"] = read_options(r)
    return d


def write_dhcp_database(w, d):
    w.u32(d["OperatingMode"]), w.u32(d["AutoOptions"])
    w.u32(len(d["Scopes"]))
    for key in sorted(d["Scopes"]):
        sc = d["Scopes"][key]
        w.string(key.encode()), w.string(b"CDHCPScope")
        w.u32(sc["ScopeID"]), w.u32(sc["NetMask"])
        w.string(sc["Description"].encode()), w.string(sc["BoundInterface"].encode())
        w.u32(sc["LeaseDuration"]), w.u32(sc["Enabled"])
        w.u32(sc["InclusionRange"][0]), w.u32(sc["InclusionRange"][1])
        w.u32(len(sc["Exclusions"]))
        for a, b in sc["Exclusions"]:
            w.u32(a), w.u32(b)
        write_options(w, sc["Options"])
    w.u32(len(d["Reservations"]))
    for key in sorted(d["Reservations"]):
        rv = d["Reservations"][key]
        w.string(key.encode()), w.string(b"CDHCPReservation")
        w.string(rv["IPAddress"].encode()), w.string(rv["MatchData"].encode())
        w.u32(rv["MatchOn"]), w.u32(rv["ScopeID"])
        write_options(w, rv["Options"])
    write_options(w, d["GlobalOptions"])


def read_dhcp_service(r):
    s = read_service_base(r)
    s["Database"] = read_dhcp_database(r)
    s["AllowAllocatePublicIPs"] = r.u32()
    return s


def write_dhcp_service(w, s):
    write_service_base(w, s)
    write_dhcp_database(w, s["Database"])
    w.u32(s["AllowAllocatePublicIPs"])


def ip(text):
    return struct.unpack(">I", socket.inet_aton(text))[0]


def dhcp(port, password):
    """The DHCP service's configuration as a console edits it: read, checked, changed, sent back."""
    a, code = login_admin(port, "")
    if code == 120:
        reply, _ = a.request(120, "Administrator", "", password)
        check("password set", reply == 3 and a.wait_note(5) is not None, reply)
    else:
        check("log-in", code == 5, code)
    reply, frames = a.request(30, receive=2)
    services = read_services(frames[1]) if reply == 3 else {}
    cls, svc = services.get("DHCP Service", (None, {}))
    check("the DHCP service arrives in its class", cls == "CDHCPService", cls)
    db = svc.get("Database", {})
    scope = db.get("Scopes", {}).get("1", {})
    check("scope as stored", scope.get("NetMask") == ip("255.255.255.0") and
          scope.get("InclusionRange") == (ip("10.78.1.10"), ip("10.78.1.20")) and
          scope.get("Exclusions") == [(ip("10.78.1.10"), 0)] and scope.get("BoundInterface") == "10.78.1.1", scope)
    check("scope options as stored", scope.get("Options", {}).get(15) == b"lab.example.test", scope.get("Options"))
    check("reservation as stored", db.get("Reservations", {}).get("10.78.1.19", {}).get("MatchData") == "020000000003",
          db.get("Reservations"))
    check("global option as stored", db.get("GlobalOptions", {}).get(40) == b"nis-domain-of-the-test-network")
    # The console excludes two more addresses, gives a reservation a name and sets a global option.
    scope["Exclusions"].append((ip("10.78.1.14"), ip("10.78.1.15")))
    db["Reservations"]["10.78.1.18"] = {"IPAddress": "10.78.1.18", "MatchData": "NAMED", "MatchOn": 0,
                                        "ScopeID": 1, "Options": {}}
    db["GlobalOptions"][64] = b"nisplus.test"
    # ... and removes the second scope, when there is one.
    db["Scopes"].pop("2", None)
    reply, _ = a.request(34, "DHCP Service", upload=[bare(write_dhcp_service, svc)])
    check("modified DHCP service accepted", reply == 3, reply)
    reply, frames = a.request(30, receive=2)
    back = read_services(frames[1]).get("DHCP Service", (None, {}))[1].get("Database", {}) if reply == 3 else {}
    check("the change is what the engine now holds",
          back.get("Scopes", {}).get("1", {}).get("Exclusions") == scope["Exclusions"] and
          "10.78.1.18" in back.get("Reservations", {}) and back.get("GlobalOptions", {}).get(64) == b"nisplus.test",
          back)

# ---- Mapping services -------------------------------------------------------------------------

MAPPING_U32_A = ["Enabled", "SpecifyUser", "SpecifyLocation"]
LINK_FIELDS = [("SpecifyUserForIncomingConnection", "u32"), ("EncryptConnectionsIn", "u32"), ("UsernameIn", "s"),
               ("PasswordIn", "scrambled"), ("EncryptConnectionsOut", "u32"), ("UsernameOut", "s"),
               ("PasswordOut", "scrambled")]


def read_mapping(r):
    m = {f: r.u32() for f in MAPPING_U32_A}
    m["UserName"], m["DialerDependent"], m["DUNConnectoid"] = r.string().decode(), r.u32(), r.string().decode()
    m["Host"], m["Port"] = r.string().decode(), r.u32()
    m["Included"] = [r.string().decode() for _ in range(r.count())]
    m["Excluded"] = [r.string().decode() for _ in range(r.count())]
    return m


def write_mapping(w, m):
    for f in MAPPING_U32_A:
        w.u32(m[f])
    w.string(m["UserName"].encode()), w.u32(m["DialerDependent"]), w.string(m["DUNConnectoid"].encode())
    w.string(m["Host"].encode()), w.u32(m["Port"])
    for key in ("Included", "Excluded"):
        w.count(len(m[key]))
        for p in m[key]:
            w.string(p.encode())


def read_mappings(r):
    out = {"AllowDefault": r.u32(), "Host": r.string().decode(), "Port": r.u32()}
    out["Rules"] = read_list(r, read_mapping)
    return out


def write_mappings(w, m):
    w.u32(m["AllowDefault"]), w.string(m["Host"].encode()), w.u32(m["Port"])
    w.count(len(m["Rules"]))
    for rule in m["Rules"]:
        w.tag("CMapping")
        write_mapping(w, rule)


def read_tcp_mapping(r):
    s = read_service(r)
    s["Mappings"] = read_mappings(r)
    for name, kind in LINK_FIELDS:
        s[name] = r.u32() if kind == "u32" else r.string()
    return s


def write_tcp_mapping(w, s):
    write_service(w, s)
    write_mappings(w, s["Mappings"])
    for name, kind in LINK_FIELDS:
        w.u32(s[name]) if kind == "u32" else w.string(s[name])


def read_all_services(data):
    """Every service of the classes the mapping scenario meets."""
    r = Reader(data)
    out = {}
    for _ in range(r.u32()):
        key, cls = r.string().decode(), r.string().decode()
        if cls in TCP_CLASSES:
            out[key] = (cls, SERVICE_READERS.get(cls, read_service)(r))
        elif cls == "CTCPMappingService":
            out[key] = (cls, read_tcp_mapping(r))
        else:
            break
    return out


def mapping(port, args):
    """A console adds a TCP mapping service with a rule, reads every mapping service back and sends
    a malformed one. args: default port on 127.0.0.2, rule port on 127.0.0.3, the new service's port."""
    to_a, to_b, new_port = (int(x) for x in args.split())
    a, code = login_admin(port, "")
    if code == 120:
        a.request(120, "Administrator", "", "secret")
    svc = new_service("Uploaded", new_port)
    rule = {"Enabled": 1, "SpecifyUser": 0, "SpecifyLocation": 1, "UserName": "", "DialerDependent": 0,
            "DUNConnectoid": "", "Host": "127.0.0.3", "Port": to_b, "Included": ["127.0.0.5"], "Excluded": []}
    svc.update({"Mappings": {"AllowDefault": 1, "Host": "127.0.0.2", "Port": to_a, "Rules": [rule]},
                "SpecifyUserForIncomingConnection": 0, "EncryptConnectionsIn": 0, "UsernameIn": b"in",
                "PasswordIn": scramble(b"pw-in"), "EncryptConnectionsOut": 0, "UsernameOut": b"out",
                "PasswordOut": scramble(b"pw-out")})
    reply, _ = a.request(32, "Uploaded", upload=[tagged("CTCPMappingService", write_tcp_mapping, svc)])
    check("mapping service added", reply == 3, reply)
    check("added mapping listens", wait_until(lambda: listening(new_port)))
    reply, frames = a.request(30, receive=2)
    services = read_all_services(frames[1]) if len(frames) == 2 else {}
    got = services.get("Uploaded", (None, {}))
    check("uploaded mapping comes back", got[0] == "CTCPMappingService" and
          got[1].get("Mappings") == svc["Mappings"], got)
    check("passwords travel scrambled", got[1].get("PasswordIn") == scramble(b"pw-in") and
          got[1].get("PasswordOut") == scramble(b"pw-out"), got[1].get("PasswordIn"))
    rules = services.get("Rules", (None, {}))[1].get("Mappings", {}).get("Rules", [])
    check("stored rules in numeric order", [r["Host"] for r in rules] == ["127.0.0.9"] * 11 + ["127.0.0.3"],
          [r["Host"] for r in rules])

    # A rule list that claims more patterns than the frame holds closes that console, and nothing
    # of it is applied.
    m, code = login_admin(port, "secret" if code == 120 else "")
    bad = dict(svc, Name="Broken", PortNumber=new_port + 1)
    body = tagged("CTCPMappingService", write_tcp_mapping, bad)
    cut = body[:body.index(b"127.0.0.5") - 3] + struct.pack("<H", 0xFFFF) + struct.pack("<I", 1 << 30)
    m.send_msg(32, "Broken")
    m.recv_msg()
    m.send_frame(cut)
    check("malformed mapping closes the console", closed_by_engine(m.sock))
    m.close()
    reply, frames = a.request(30, receive=2)
    check("nothing of it applied", "Broken" not in read_all_services(frames[1]))
    a.close()


def operator(port, args):
    """The operator's console while strangers flood the door: logged in before, served throughout,
    and a fresh log-in half-way through succeeds."""
    host, password, seconds, ready = args.split()
    seconds = float(seconds)
    c = Console(port, "Administrator", password, source=host, host=host)
    code, _ = c.recv_msg()
    check("operator logged in before the flood", code == 5, code)
    open(ready, "w").close()
    start = time.time()
    asked = answered = 0
    fresh = None
    while time.time() < start + seconds:
        reply, frames = c.request(20, receive=1)
        asked += 1
        answered += reply == 3 and len(frames) == 1
        if fresh is None and time.time() > start + seconds / 2:
            try:
                f = Console(port, "Administrator", password, source=host, host=host)
                fresh, _ = f.recv_msg()
                f.request(20, receive=1)
                f.close()
            except (LinkError, OSError, EOFError) as e:
                fresh = repr(e)
        time.sleep(0.3)
    check("the logged-in console served throughout the flood", asked > 0 and answered == asked, (answered, asked))
    check("a log-in from another address during the flood", fresh == 5, fresh)
    c.close()


def flood(port, args):
    """Strangers at the door: 64 threads log in with wrong passwords for that long, each at once
    again after its answer. Prints how many wrong passwords were answered and how many connections
    were closed before any challenge."""
    import threading
    host, seconds = args.split()
    end = time.time() + float(seconds)
    counts = {"refused": 0, "turned away": 0, "other": 0}
    lock = threading.Lock()

    def note(what):
        with lock:
            counts[what] += 1

    def attacker(n):
        while time.time() < end:
            try:
                s = socket.create_connection((host, port), timeout=30)
            except OSError:
                note("other")
                time.sleep(0.05)
                continue
            try:
                head = s.recv(1)
                if not head:
                    note("turned away")
                    time.sleep(0.1)  # a real flood would not wait; this machine is shared
                    continue
                msg = recv_exact(s, head[0])
                challenge = msg[4:].split(b"\0")[0]
                digest = hashlib.md5(challenge + b"guess%d" % n).digest()
                text = "".join("%x" % b for b in digest).encode()
                body = bytes([1, 9, 2]) + struct.pack("<I", 0) + bytes([2]) + b"Administrator\0" + text + b"\0"
                s.sendall(bytes([len(body)]) + body)
                st = recv_exact(s, 5)
                note("refused" if st[4] == 108 else "other")
            except (OSError, EOFError):
                note("turned away")
            finally:
                s.close()

    threads = [threading.Thread(target=attacker, args=(n,), daemon=True) for n in range(64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=max(0.0, end - time.time()) + 15)
    with lock:
        print("wrong passwords answered: %d; turned away: %d; other: %d" %
              (counts["refused"], counts["turned away"], counts["other"]))


if __name__ == "__main__":
    cmd, port, state = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    try:
        {"scenario": scenario, "verify": verify, "proxy": proxy, "reload": reload, "capture": capture,
         "cache_filters": cache_filters, "scheduler": scheduler, "dialer": dialer, "socks": socks,
         "dhcp": dhcp, "mapping": mapping, "operator": operator, "flood": flood}[cmd](port, state)
    except Exception as e:  # a broken stream is a failure, not a crash of the script
        check("client ran to the end", False, repr(e))
    sys.exit(1 if FAILS else 0)
