// The enciphered link against itself and against an independent client written in Python from
// the byte form alone (hashlib's MD5, its own cipher), over loopback.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "engine/config/util.h"
#include "engine/remote/link.h"
#include "engine/config/md5.h"
#include "tests/support/test_env.h"

namespace {

struct Server {
  X1Socket listener;
  uint16_t port = 0;
  Server() {
    listener.Create();
    listener.Bind(0, "127.0.0.1");
    listener.Listen(5);
    port = listener.GetLocalPort();
  }
  // Accepts one connection and runs the server handshake; returns the socket or throws.
  std::unique_ptr<X1Socket> AcceptAndHandshake(uint8_t type, bool portCheck, LinkUserLookup lookup, X1Link** link) {
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
      try {
        fd = listener.Accept();
      } catch (const X1SocketException&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    auto s = std::make_unique<X1Socket>();
    s->Attach(fd);
    X1Link& l = SetHandshake(*s, type, portCheck, false, "", "");
    l.SetUserLookup(std::move(lookup));
    l.ServerHandshake(*s);
    if (link) *link = &l;
    return s;
  }
};

LinkUserLookup Users() {
  return [](const CString& name, CString* password) {
    if (name == "admin") {
      *password = "s3cret";
      return LinkUserState::Found;
    }
    if (name == "locked") {
      *password = "pw";
      return LinkUserState::Disabled;
    }
    return LinkUserState::NoSuchUser;
  };
}

std::string ReceiveAll(X1Socket& s, size_t n) {
  std::string out(n, '\0');
  size_t got = s.ReceiveBlocking(out.data(), n);
  out.resize(got);
  return out;
}

}  // namespace

TEST(LinkCipher, MatchesAnIndependentKeystream) {
  // The cipher is RC4 with a reversed starting permutation, keyed with MD5("abc").
  CMD5::Digest key = CMD5::Of("abc");
  CLinkCipher c;
  c.Init(key.data());
  uint8_t zeros[32] = {};
  c.Apply(zeros, sizeof zeros);
  std::string ours;
  for (uint8_t b : zeros) ours += FormatString("%02x", b);

  std::string py;
  ASSERT_EQ(trellis::test::RunCommand(
                "python3 -c \"import hashlib\nk=hashlib.md5(b'abc').digest()\nS=[255-i for i in range(256)]\nj=0\n"
                "for i in range(256):\n j=(j+S[i]+k[i%16])%256; S[i],S[j]=S[j],S[i]\ni=j=0\nout=''\n"
                "for n in range(32):\n i=(i+1)%256; j=(j+S[i])%256; S[i],S[j]=S[j],S[i]; out+='%02x'%S[(S[i]+S[j])%256]\n"
                "print(out,end='')\"",
                &py),
            0);
  EXPECT_EQ(ours, py);
}

TEST(Link, DigestTextHasNoLeadingZeros) {
  // MD5("") = d41d8cd98f00b204e9800998ecf8427e: bytes 0x00, 0x04 and 0x09 shrink to one digit.
  EXPECT_EQ(X1Link::DigestText(""), "d41d8cd98f0b24e980998ecf8427e");
}

TEST(Link, ConsoleLogsInAndBothDirectionsAreEnciphered) {
  Server server;
  auto serverSide = std::async(std::launch::async, [&] {
    X1Link* link = nullptr;
    auto s = server.AcceptAndHandshake(LINK_CLIENT_CONSOLE, true, Users(), &link);
    EXPECT_EQ(link->GetUserName(), "admin");
    std::string got = ReceiveAll(*s, 5);
    s->Send("world", 5);
    return got;
  });
  X1Socket client;
  client.Create();
  SetHandshake(client, LINK_CLIENT_CONSOLE, false, false, "admin", "s3cret");
  client.Connect("127.0.0.1", server.port);
  ASSERT_TRUE(client.IsCiphering());
  client.Send("hello", 5);
  EXPECT_EQ(ReceiveAll(client, 5), "world");
  EXPECT_EQ(serverSide.get(), "hello");
}

TEST(Link, RefusalsCarryTheirCodes) {
  struct Case {
    const char* user;
    const char* password;
    uint8_t clientType;
    uint32_t serverCode;
    std::vector<uint32_t> clientCodes;  // what the client may see
  };
  const Case cases[] = {
      {"admin", "wrong", LINK_CLIENT_CONSOLE, LINK_BAD_PASSWORD, {LINK_BAD_PASSWORD}},
      {"locked", "pw", LINK_CLIENT_CONSOLE, LINK_BAD_PASSWORD, {LINK_BAD_PASSWORD}},
      {"nobody", "x", LINK_CLIENT_CONSOLE, LINK_NO_SUCH_USER, {LINK_NO_RESPONSE, LINK_PROTOCOL_ERROR}},
      {"", "x", LINK_CLIENT_CONSOLE, LINK_NO_USERNAME, {LINK_NO_RESPONSE, LINK_PROTOCOL_ERROR}},
      {"admin", "s3cret", LINK_CLIENT_MAPPING, LINK_WRONG_CLIENT_TYPE, {LINK_WRONG_CLIENT_TYPE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    Server server;
    auto serverSide = std::async(std::launch::async, [&]() -> uint32_t {
      try {
        server.AcceptAndHandshake(LINK_CLIENT_CONSOLE, false, Users(), nullptr);
      } catch (const X1SocketException& e) {
        if (e.GetCode() == LINK_BAD_PASSWORD) {
          EXPECT_NE(e.GetText().find("failed password"), CString::npos);
        }
        return e.GetCode();
      }
      return 0;
    });
    X1Socket client;
    client.Create();
    SetHandshake(client, c.clientType, false, false, c.user, c.password);
    uint32_t clientCode = 0;
    try {
      client.Connect("127.0.0.1", server.port);
    } catch (const X1SocketException& e) {
      clientCode = e.GetCode();
    }
    EXPECT_EQ(serverSide.get(), c.serverCode);
    EXPECT_NE(std::find(c.clientCodes.begin(), c.clientCodes.end(), clientCode), c.clientCodes.end()) << clientCode;
    EXPECT_FALSE(client.IsCiphering());
  }
}

TEST(Link, AConsoleServerAcceptsTypeThree) {
  Server server;
  auto serverSide = std::async(std::launch::async, [&] {
    X1Link* link = nullptr;
    auto s = server.AcceptAndHandshake(LINK_CLIENT_CONSOLE, false, Users(), &link);
    return link->GetClientType();
  });
  X1Socket client;
  client.Create();
  SetHandshake(client, LINK_CLIENT_OTHER, false, false, "admin", "s3cret");
  client.Connect("127.0.0.1", server.port);
  EXPECT_EQ(serverSide.get(), LINK_CLIENT_OTHER);
}

// A client written only from the byte form: challenge, response, status, then ciphered data.
TEST(Link, AnIndependentClientLogsInAndTalks) {
  Server server;
  auto serverSide = std::async(std::launch::async, [&] {
    auto s = server.AcceptAndHandshake(LINK_CLIENT_CONSOLE, true, Users(), nullptr);
    std::string got = ReceiveAll(*s, 4);
    s->Send("pong", 4);
    return got;
  });
  const std::string script = trellis::test::MakeTempDir("link") + "/client.py";
  ASSERT_TRUE(trellis::test::WriteFile(script, R"PY(
import hashlib, socket, struct, sys
def md5(b): return hashlib.md5(b).digest()
def text(d): return ''.join('%x' % x for x in d).encode()
class Cipher:
    def __init__(self, k):
        self.S = [255 - i for i in range(256)]; j = 0
        for i in range(256):
            j = (j + self.S[i] + k[i % 16]) % 256; self.S[i], self.S[j] = self.S[j], self.S[i]
        self.i = self.j = 0
    def apply(self, data):
        out = bytearray()
        for b in data:
            self.i = (self.i + 1) % 256; self.j = (self.j + self.S[self.i]) % 256
            S = self.S; S[self.i], S[self.j] = S[self.j], S[self.i]
            out.append(b ^ S[(S[self.i] + S[self.j]) % 256])
        return bytes(out)
def read(s, n):
    b = b''
    while len(b) < n:
        c = s.recv(n - len(b))
        if not c: sys.exit('closed')
        b += c
    return b
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
L = read(s, 1)[0]; m = read(s, L)
assert m[0] == 1 and m[1] == 9 and m[3] == 1, m
challenge = m[4:].split(b'\0')[0]
user, pw = b'admin', b's3cret'
body = bytes([1, 9, 2]) + struct.pack('<I', s.getsockname()[1]) + bytes([2]) + user + b'\0' + text(md5(challenge + pw)) + b'\0'
s.sendall(bytes([len(body)]) + body)
st = read(s, 5)
assert st == bytes([4, 1, 9, 0, 4]), st
send = Cipher(md5(challenge + user + pw)); recv = Cipher(md5(challenge + pw + user))
s.sendall(send.apply(b'ping'))
reply = recv.apply(read(s, 4))
assert reply == b'pong', reply
print('ok', end='')
)PY"));
  std::string out;
  int rc = trellis::test::RunCommand("python3 " + script + " " + std::to_string(server.port) + " 2>&1", &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, "ok");
  EXPECT_EQ(serverSide.get(), "ping");
}
