#include "engine/proxy/common/two_end_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "platform/clock.h"
#include "tests/support/engine_fixture.h"

namespace {

using trellis::test::ConnectTo;
using trellis::test::CTestSessionHost;
using trellis::test::FreePort;
using trellis::test::ListenOn;
using trellis::test::LoopbackListener;
using trellis::test::ReadToEnd;
using trellis::test::SendAll;
using trellis::test::SetRecvTimeout;
using trellis::test::SocketAddress;
using trellis::test::WriteFile;

// ---- Harness ----------------------------------------------------------------------------------

// A server on 127.0.0.2 that serves one connection at a time in one of two half-close patterns:
//   ReplyAfterEnd: reads until the client's end, then answers "got <n>" and the bytes reversed;
//   GreetFirst: sends a greeting, ends its sending, then reads until the client's end;
//   Echo: sends back what it reads until the client's end.
class Peer {
 public:
  enum Mode { ReplyAfterEnd, GreetFirst, Echo };
  static constexpr const char* kGreeting = "hello from the server\n";

  Peer() {
    fd_ = ListenOn("127.0.0.2", &port_);
    thread_ = std::thread([this] { Loop(); });
  }
  ~Peer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  void SetMode(Mode m) { mode_ = m; }
  std::string Received() {
    std::lock_guard<std::mutex> g(mx_);
    return received_;
  }
  // Waits until n connections have been served in all (10 s at most).
  bool WaitServed(int n) {
    std::unique_lock<std::mutex> lk(mx_);
    return cv_.wait_for(lk, std::chrono::seconds(10), [&] { return served_ >= n; });
  }

 private:
  void Loop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      if (mode_.load() == GreetFirst) {
        SendAll(c, kGreeting);
        ::shutdown(c, SHUT_WR);
        std::string got = ReadToEnd(c);
        std::lock_guard<std::mutex> g(mx_);
        received_ = got;
      } else if (mode_.load() == Echo) {
        SetRecvTimeout(c);
        // Small buffers: an echo that reads and writes in turn stalls at once when not read.
        const int small = 32 * 1024;
        ::setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::setsockopt(c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string got;
        char b[8192];
        ssize_t n;
        while ((n = ::recv(c, b, sizeof b, 0)) > 0) {
          got.append(b, static_cast<size_t>(n));
          if (!SendAll(c, std::string(b, static_cast<size_t>(n)))) break;
        }
        std::lock_guard<std::mutex> g(mx_);
        received_ = got;
      } else {
        std::string got = ReadToEnd(c);
        {
          std::lock_guard<std::mutex> g(mx_);
          received_ = got;
        }
        SendAll(c, "got " + std::to_string(got.size()) + "\n" + std::string(got.rbegin(), got.rend()));
      }
      ::close(c);
      std::lock_guard<std::mutex> g(mx_);
      ++served_;
      cv_.notify_all();
    }
  }

  int fd_ = -1;
  int served_ = 0;
  std::condition_variable cv_;
  uint16_t port_ = 0;
  std::atomic<int> mode_{ReplyAfterEnd};
  std::mutex mx_;
  std::string received_;
  std::thread thread_;
};

// A fixed-destination relay: connects out as its settings say, then relays.
class RelaySession : public CTwoEndTCPSession {
 public:
  using CTwoEndTCPSession::CTwoEndTCPSession;
  CString target = "127.0.0.2";
  uint32_t targetPort = 0;
  std::atomic<bool> failed{false};
  std::atomic<uint32_t> failCode{0};

 protected:
  void OnStart() override {
    try {
      ConnectToServer(target, targetPort);
      StartRelay();
    } catch (const X1SocketException& e) {
      failCode = e.GetCode();
      failed = true;
      Terminate(kSessionExitRefused);
    }
  }
};

// A peer program started in the foreground, stopped at the end.
class Program {
 public:
  Program(std::vector<std::string> argv, const char* ip, uint16_t port) {
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      int devnull = ::open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execvp(args[0], args.data());
      _exit(127);
    }
    // Ready once it accepts a connection.
    for (int i = 0; i < 1000 && !ready_; ++i) {
      int c = ConnectTo("127.0.0.1", ip, port);
      if (c >= 0) {
        ::close(c);
        ready_ = true;
        break;
      }
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      platform::SleepMs(10);
    }
  }
  ~Program() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) return;
      platform::SleepMs(10);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

class TwoEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = GetSessionHost();
    SetSessionHost(&host_);
    dir_ = trellis::test::MakeTempDir("twoend");
    log_ = CLogFile::OpenPath(dir_ + "/svc.log");
  }
  void TearDown() override {
    EXPECT_TRUE(CTCPSession::WaitForAll(15000));
    SetSessionHost(previous_);
  }

  // A client connection from 127.0.0.5 served by a relay session with these settings.
  std::shared_ptr<RelaySession> Start(const CConnectSettings& cs, uint32_t targetPort, int* client) {
    int accepted = -1;
    *client = listener_.Connect("127.0.0.5", &accepted);
    auto s = std::make_shared<RelaySession>(nullptr, accepted);
    s->SetLog(0xFFFFFFFF, log_);
    s->SetAccessRight(host_.allow);
    s->SetConnectSettings(cs);
    s->targetPort = targetPort;
    EXPECT_TRUE(s->OnActivity());
    return s;
  }

  // Client sends a large body and ends; the server answers only after that end. Then the server
  // greets first and ends; the client answers after that end. The overheads are the proxy
  // negotiation's bytes, which the server-side counters include.
  void RelayBothHalfCloses(const CConnectSettings& cs, uint64_t overheadSent, uint64_t overheadReceived) {
    std::string body(100000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);

    peer_.SetMode(Peer::ReplyAfterEnd);
    int client;
    auto s = Start(cs, peer_.port(), &client);
    ASSERT_TRUE(SendAll(client, body));
    ::shutdown(client, SHUT_WR);
    const std::string reply = ReadToEnd(client);
    ::close(client);
    const std::string expected = "got 100000\n" + std::string(body.rbegin(), body.rend());
    EXPECT_EQ(reply.size(), expected.size());
    EXPECT_TRUE(reply == expected);
    ASSERT_TRUE(peer_.WaitServed(++served_));
    EXPECT_EQ(peer_.Received().size(), body.size());
    ASSERT_TRUE(CTCPSession::WaitForAll(10000));
    EXPECT_FALSE(s->failed.load());
    EXPECT_EQ(s->GetClientBytesReceived(), body.size());
    EXPECT_EQ(s->GetClientBytesSent(), expected.size());
    EXPECT_EQ(s->GetServerBytesSent(), body.size() + overheadSent);
    EXPECT_EQ(s->GetServerBytesReceived(), expected.size() + overheadReceived);
    EXPECT_TRUE(s->ClientEnded() && s->ServerEnded());

    peer_.SetMode(Peer::GreetFirst);
    s = Start(cs, peer_.port(), &client);
    const std::string greeting = ReadToEnd(client);
    EXPECT_EQ(greeting, Peer::kGreeting);
    // The server's end reached the client; the client's own direction is still open.
    ASSERT_TRUE(SendAll(client, "answer after your end"));
    ::shutdown(client, SHUT_WR);
    EXPECT_EQ(ReadToEnd(client), "");
    ::close(client);
    ASSERT_TRUE(CTCPSession::WaitForAll(10000));
    ASSERT_TRUE(peer_.WaitServed(++served_));
    EXPECT_EQ(peer_.Received(), "answer after your end");
  }

  CTestSessionHost host_;
  CSessionHost* previous_ = nullptr;
  std::string dir_;
  std::shared_ptr<CLogFile> log_;
  LoopbackListener listener_{"127.0.0.1", 16};
  Peer peer_;
  int served_ = 0;
};

// A one-connection fake upstream: reads the request (up to its end marker), sends the answer and
// keeps the connection until the client closes (or closes it at once).
class FakeUpstream {
 public:
  FakeUpstream(const char* ip, std::string endMarker, size_t afterMarker, std::string answer,
               bool closeAfterAnswer = false) {
    fd_ = ListenOn(ip, &port_);
    thread_ = std::thread([this, endMarker, afterMarker, answer, closeAfterAnswer] {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      SetRecvTimeout(c);
      std::string req;
      char b[512];
      size_t pos;
      while ((pos = req.find(endMarker, afterMarker)) == std::string::npos) {
        ssize_t n = ::recv(c, b, sizeof b, 0);
        if (n <= 0) break;
        req.append(b, static_cast<size_t>(n));
      }
      request_ = req;
      SendAll(c, answer);
      if (!closeAfterAnswer) ReadToEnd(c);
      ::close(c);
    });
  }
  ~FakeUpstream() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  std::string request_;

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

CConnectSettings Via(uint32_t method, const char* proxy, uint16_t port, const char* user = "") {
  CConnectSettings cs;
  cs.ConnectMethod = method;
  cs.ProxyServer = proxy;
  cs.ProxyPort = port;
  cs.SOCKS4Password = user;
  return cs;
}

// Connects a bare socket as a session with these settings would; the exception's code and text.
bool ConnectFails(const CConnectSettings& cs, uint16_t port, uint32_t* code, std::string* text,
                  const char* host = "127.0.0.2", const char* client = "127.0.0.1") {
  CTwoEndTCPSession s;
  s.SetConnectSettings(cs);
  // The client's own address decides whether the gateway's loopback is open to it.
  s.SetClient(client, 40000);
  X1Socket sock;
  sock.Create();
  try {
    s.ConnectToServer(sock, host, port);
  } catch (const X1SocketException& e) {
    *code = e.GetCode();
    *text = e.GetText();
    return true;
  }
  return false;
}

// ---- Wire forms -------------------------------------------------------------------------------

TEST(TwoEndWire, UpstreamAnswersAndRequests) {
  using twoend::IsConnectGranted;
  // Any HTTP/1.x 2xx opens the tunnel; other versions, statuses and shapes do not.
  EXPECT_TRUE(IsConnectGranted("HTTP/1.0 200 Connection established\r\n"));
  EXPECT_TRUE(IsConnectGranted("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(IsConnectGranted("http/1.1 204\r\n"));
  EXPECT_FALSE(IsConnectGranted("HTTP/1.1 403 Forbidden\r\n"));
  EXPECT_FALSE(IsConnectGranted("HTTP/1.1 2000 x\r\n"));
  EXPECT_FALSE(IsConnectGranted("HTTP/2 200\r\n"));
  EXPECT_FALSE(IsConnectGranted("HTTP/1.0 20"));
  EXPECT_FALSE(IsConnectGranted("SSH-2.0-x 200\r\n"));

  // Only 90 with a zero version byte is a grant; 91-93 are refusals, anything else no answer.
  const uint8_t granted[8] = {0, 90}, r91[8] = {0, 91}, r92[8] = {0, 92}, r93[8] = {0, 93}, odd[8] = {0, 94},
                badVersion[8] = {4, 90};
  EXPECT_EQ(twoend::ParseSOCKS4Reply(granted), twoend::SOCKS4Reply::Granted);
  EXPECT_EQ(twoend::ParseSOCKS4Reply(r91), twoend::SOCKS4Reply::Denied);
  EXPECT_EQ(twoend::ParseSOCKS4Reply(r92), twoend::SOCKS4Reply::Denied);
  EXPECT_EQ(twoend::ParseSOCKS4Reply(r93), twoend::SOCKS4Reply::Denied);
  EXPECT_EQ(twoend::ParseSOCKS4Reply(odd), twoend::SOCKS4Reply::Bad);
  EXPECT_EQ(twoend::ParseSOCKS4Reply(badVersion), twoend::SOCKS4Reply::Bad);

  // The user id is cut at 80 bytes and at a NUL.
  std::string req = twoend::BuildSOCKS4Request(0x7F000002, 0x1234, CString(100, 'u'));
  ASSERT_EQ(req.size(), 8u + 80u + 1u);
  EXPECT_EQ(req.substr(0, 8), std::string("\x04\x01\x12\x34\x7F\x00\x00\x02", 8));
  EXPECT_EQ(req.back(), '\0');
  EXPECT_EQ(twoend::BuildSOCKS4Request(1, 1, CString("ab\0cd", 5)).size(), 8u + 2u + 1u);

  EXPECT_FALSE(twoend::IsSafeHostText("example.com:80 HTTP/1.0\r\nX-Forged: 1\r\n"));
  EXPECT_FALSE(twoend::IsSafeHostText(""));
  EXPECT_TRUE(twoend::IsSafeHostText("example.com"));
}

// ---- Relay ------------------------------------------------------------------------------------

TEST_F(TwoEnd, DirectRelayPassesHalfClosesBothWaysAndCounts) {
  RelayBothHalfCloses(CConnectSettings{}, 0, 0);

  CTLDataObject v;
  int client;
  peer_.SetMode(Peer::ReplyAfterEnd);
  auto s = Start(CConnectSettings{}, peer_.port(), &client);
  ::shutdown(client, SHUT_WR);
  EXPECT_EQ(ReadToEnd(client), "got 0\n");
  ::close(client);
  ASSERT_TRUE(CTCPSession::WaitForAll(10000));
  ASSERT_TRUE(peer_.WaitServed(++served_));
  s->GetProperty(kPropServerIPAddress, v);
  EXPECT_TRUE(v.EqualsText("127.0.0.2"));
  s->GetProperty(kPropServerPort, v);
  EXPECT_EQ(v.dwData, peer_.port());
  EXPECT_TRUE(s->InvolvesHost("127.0.0.2"));

  // Nothing listens: the client's connection ends with the session, which logs its refusal.
  s = Start(CConnectSettings{}, FreePort("127.0.0.2"), &client);
  EXPECT_EQ(ReadToEnd(client), "");
  ::close(client);
  ASSERT_TRUE(CTCPSession::WaitForAll(10000));
  EXPECT_TRUE(s->failed.load());
  EXPECT_EQ(s->failCode.load(), uint32_t{WSAECONNREFUSED});
}

// The client sends and reads at once (as socat does) and the server echoes, reading and writing in
// turn: the relay must keep both directions moving, never waiting for room on one of them while
// the other fills up.
TEST_F(TwoEnd, AnEchoOfManyMegabytesNeverStallsTheRelay) {
  std::string body(48u << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4093);
  peer_.SetMode(Peer::Echo);
  int client;
  auto s = Start(CConnectSettings{}, peer_.port(), &client);
  std::thread sender([&] {
    EXPECT_TRUE(SendAll(client, body));
    ::shutdown(client, SHUT_WR);
  });
  SetRecvTimeout(client, 30);
  const std::string back = ReadToEnd(client);
  sender.join();
  ::close(client);
  EXPECT_EQ(back.size(), body.size());
  EXPECT_TRUE(back == body);
  ASSERT_TRUE(CTCPSession::WaitForAll(10000));
  ASSERT_TRUE(peer_.WaitServed(++served_));
  EXPECT_FALSE(s->failed.load());
  EXPECT_EQ(s->GetServerBytesSent(), body.size());
}

TEST_F(TwoEnd, FakeUpstreamsRefuseWithTheirTextsAndTunnelKeepsBytesAfterTheHeader) {
  uint32_t code = 1;
  std::string text;
  // SOCKS 4 rejections other than 91 are failures too.
  for (uint8_t reply : {uint8_t{92}, uint8_t{93}}) {
    FakeUpstream up("127.0.0.6", std::string(1, '\0'), 8, std::string("\x00", 1) + char(reply) + std::string(6, '\0'));
    ASSERT_TRUE(ConnectFails(Via(CONNECT_SOCKS4, "127.0.0.6", up.port(), "joe"), 4242, &code, &text));
    EXPECT_EQ(code, kUpstreamProxyError);
    EXPECT_EQ(text, "SOCKS4 connect to 127.0.0.2:4242 failed - denied by SOCKS server");
  }
  {
    FakeUpstream up("127.0.0.6", std::string(1, '\0'), 8, "\x00Z", true);  // short reply, then the end
    ASSERT_TRUE(ConnectFails(Via(CONNECT_SOCKS4, "127.0.0.6", up.port()), 4242, &code, &text));
    EXPECT_EQ(text, "SOCKS4 connect to 127.0.0.2:4242 failed - no response from SOCKS server");
  }
  // The operator's reworded text, with a conversion it was not given left as it stands.
  ASSERT_TRUE(RegWriteString("ErrorStrings\\SSL", "BadResponse", "Tunnel %s:%u refused %s"));
  {
    FakeUpstream up("127.0.0.6", "\r\n\r\n", 0, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
    ASSERT_TRUE(ConnectFails(Via(CONNECT_HTTP_TUNNEL, "127.0.0.6", up.port()), 4242, &code, &text));
    EXPECT_EQ(code, kUpstreamProxyError);
    EXPECT_EQ(text, "Tunnel 127.0.0.2:4242 refused %s");
  }
  RegRemoveValue("ErrorStrings\\SSL", "BadResponse");
  {
    // A header that never ends within the bound is refused, not relayed into the tunnel.
    FakeUpstream up("127.0.0.6", "\r\n\r\n", 0, "HTTP/1.1 200 OK\r\n" + std::string(9000, 'h') + "\r\n\r\n");
    ASSERT_TRUE(ConnectFails(Via(CONNECT_HTTP_TUNNEL, "127.0.0.6", up.port()), 4242, &code, &text));
    EXPECT_EQ(text, "SSLTunnelling connect to 127.0.0.2:4242 failed - bad response from HTTP server");
  }
  {
    // HTTP/1.1 with headers, and the server speaks first: its bytes stay for the tunnel.
    FakeUpstream up("127.0.0.6", "\r\n\r\n", 0, "HTTP/1.1 200 Connection established\r\nProxy-agent: x\r\n\r\nBANNER");
    CTwoEndTCPSession s;
    s.SetConnectSettings(Via(CONNECT_HTTP_TUNNEL, "127.0.0.6", up.port()));
    X1Socket sock;
    sock.Create();
    ASSERT_NO_THROW(s.ConnectToServer(sock, "127.0.0.2", 4242));
    char b[6];
    ASSERT_EQ(sock.ReceiveBlocking(b, sizeof b), sizeof b);
    EXPECT_EQ(std::string(b, 6), "BANNER");
    sock.Close();
    EXPECT_EQ(up.request_, "CONNECT 127.0.0.2:4242 HTTP/1.0\r\n\r\n");
  }
  {
    // An enciphered link runs its handshake with the far end, after the tunnel is open.
    struct StubLink : X1SocketLink {
      std::string* seen;
      explicit StubLink(std::string* s) : seen(s) {}
      void ClientHandshake(X1Socket& socket) override {
        char b[9];
        *seen = std::string(b, socket.ReceiveBlocking(b, sizeof b));
      }
      void EncipherOutgoing(uint8_t*, size_t) override {}
      void DecipherIncoming(uint8_t*, size_t) override {}
    };
    std::string seen;
    FakeUpstream up("127.0.0.6", "\r\n\r\n", 0, "HTTP/1.0 200 OK\r\n\r\nCHALLENGE");
    CTwoEndTCPSession s;
    s.SetConnectSettings(Via(CONNECT_HTTP_TUNNEL, "127.0.0.6", up.port()));
    X1Socket sock;
    sock.Create();
    sock.SetLink(std::make_unique<StubLink>(&seen));
    sock.EnableLink(true);
    ASSERT_NO_THROW(s.ConnectToServer(sock, "127.0.0.2", 4242));
    EXPECT_EQ(seen, "CHALLENGE");
    EXPECT_TRUE(sock.IsLinkEnabled());
    sock.Close();
    // An upstream HTTP proxy cannot carry the link.
    CTwoEndTCPSession h;
    h.SetConnectSettings(Via(CONNECT_HTTP_PROXY, "127.0.0.6", up.port()));
    X1Socket plain;
    plain.Create();
    plain.SetLink(std::make_unique<StubLink>(&seen));
    plain.EnableLink(true);
    try {
      h.ConnectToServer(plain, "127.0.0.2", 80);
      ADD_FAILURE() << "connected through an HTTP proxy with a link";
    } catch (const X1SocketException& e) {
      EXPECT_EQ(e.GetCode(), uint32_t{WSAEINVAL});
    }
  }
  // A host that would forge the request line never reaches the proxy; unknown methods are refused.
  CTwoEndTCPSession s;
  s.SetConnectSettings(Via(CONNECT_HTTP_TUNNEL, "127.0.0.6", 1));
  X1Socket sock;
  sock.Create();
  EXPECT_THROW(s.ConnectToServer(sock, "a b\r\nX: y", 443), X1SocketException);
  ASSERT_TRUE(ConnectFails(Via(3, "127.0.0.6", 1), 4242, &code, &text));
  EXPECT_EQ(code, uint32_t{WSAEINVAL});
}

TEST_F(TwoEnd, ThroughTinyproxyConnectAndItsRefusal) {
  const uint16_t port = FreePort("127.0.0.3");
  const std::string conf = dir_ + "/tinyproxy.conf";
  ASSERT_TRUE(WriteFile(conf, "Port " + std::to_string(port) +
                      "\nListen 127.0.0.3\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nConnectPort " +
                      std::to_string(peer_.port()) + "\nLogLevel Info\nLogFile \"" + dir_ +
                      "/tinyproxy.log\"\n"));
  Program proxy({"tinyproxy", "-d", "-c", conf}, "127.0.0.3", port);
  ASSERT_TRUE(proxy.ready()) << "tinyproxy did not start";
  const CConnectSettings cs = Via(CONNECT_HTTP_TUNNEL, "127.0.0.3", port);

  // tinyproxy ends the whole tunnel when either side ends its sending, so the exchange here is an
  // echo that the client closes; the half-close paths are shown directly and through dante.
  std::string body(20000, 'x');
  peer_.SetMode(Peer::Echo);
  int client;
  auto s = Start(cs, peer_.port(), &client);
  ASSERT_TRUE(SendAll(client, body));
  SetRecvTimeout(client);
  std::string reply(body.size(), '\0');
  ASSERT_EQ(::recv(client, reply.data(), reply.size(), MSG_WAITALL), static_cast<ssize_t>(body.size()));
  EXPECT_TRUE(reply == body);  // the proxy's reply header did not leak into the tunnel
  ::close(client);
  ASSERT_TRUE(CTCPSession::WaitForAll(10000));
  EXPECT_FALSE(s->failed.load());
  EXPECT_EQ(s->GetClientBytesReceived(), body.size());
  EXPECT_EQ(s->GetClientBytesSent(), body.size());
  EXPECT_GT(s->GetServerBytesReceived(), body.size());  // the proxy's header is counted, not relayed

  // A port the proxy does not allow: 403, a failed connection with the tunnel's text.
  uint32_t code = 1;
  std::string text;
  const uint16_t other = FreePort("127.0.0.2");
  ASSERT_TRUE(ConnectFails(cs, other, &code, &text));
  EXPECT_EQ(code, kUpstreamProxyError);
  EXPECT_EQ(text, "SSLTunnelling connect to 127.0.0.2:" + std::to_string(other) +
                      " failed - bad response from HTTP server");
}

TEST_F(TwoEnd, ThroughDanteSOCKS4AndItsRefusal) {
  const uint16_t port = FreePort("127.0.0.4");
  const uint16_t blocked = FreePort("127.0.0.2");
  const std::string conf = dir_ + "/danted.conf";
  ASSERT_TRUE(WriteFile(conf, "logoutput: " + dir_ + "/danted.log\n"
                  "internal: 127.0.0.4 port = " + std::to_string(port) + "\n"
                  "external: 127.0.0.4\n"
                  "socksmethod: none\n"
                  "clientmethod: none\n"
                  "user.privileged: root\n"
                  "user.unprivileged: nobody\n"
                  "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                  "socks block { from: 0.0.0.0/0 to: 127.0.0.2/32 port = " + std::to_string(blocked) + " }\n"
                  "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n"));
  Program proxy({"danted", "-f", conf}, "127.0.0.4", port);
  ASSERT_TRUE(proxy.ready()) << "danted did not start";
  const CConnectSettings cs = Via(CONNECT_SOCKS4, "127.0.0.4", port, "trellis");

  // Request 9 + "trellis" bytes up, the 8-byte reply down, on top of the relayed bytes.
  RelayBothHalfCloses(cs, 8 + 7 + 1, 8);

  uint32_t code = 1;
  std::string text;
  ASSERT_TRUE(ConnectFails(cs, blocked, &code, &text));
  EXPECT_EQ(code, kUpstreamProxyError);
  EXPECT_EQ(text, "SOCKS4 connect to 127.0.0.2:" + std::to_string(blocked) + " failed - denied by SOCKS server");
}

// A client that is not on the gateway never reaches the gateway's loopback, however it spells it;
// a client on the gateway does (its own loopback is its own business).
TEST_F(TwoEnd, LoopbackDestinationsAreRefusedToClientsElsewhereInEverySpelling) {
  peer_.SetMode(Peer::Echo);
  uint32_t code = 0;
  std::string text;
  for (const char* host : {"127.0.0.2", "127.2", "localhost", "0", "0.0.0.0", "2130706434", "0x7f000002",
                           "127.000.000.002"}) {
    SCOPED_TRACE(host);
    ASSERT_TRUE(ConnectFails(CConnectSettings{}, peer_.port(), &code, &text, host, "192.0.2.10"));
    EXPECT_EQ(code, uint32_t{WSAEACCES});
    EXPECT_EQ(text, kDestinationRefusedText);
  }
  EXPECT_FALSE(ConnectFails(CConnectSettings{}, peer_.port(), &code, &text, "127.0.0.2", "127.0.0.1"));
  ASSERT_TRUE(peer_.WaitServed(++served_));
}

// The server a request names is what its rules see: name (as the resolver reads it), port and
// address are set before the rights are asked, the address is looked up once and the connection
// goes to it, and an address looked up only later is judged again before anything is connected.
TEST_F(TwoEnd, TheNamedServerIsJudgedAndConnectedByItsOneAddress) {
  peer_.SetMode(Peer::Echo);
  auto variable = [](const CTwoEndTCPSession& s, uint32_t code) {
    CTLDataObject v;
    v.SetString("");
    s.GetProperty(code, v);
    return code == kPropServerPort ? CString(std::to_string(v.dwData)) : v.strData;
  };
  CTwoEndTCPSession s;
  s.SetClient("127.0.0.1", 40000);
  EXPECT_EQ(variable(s, kPropServerIPAddress), "255.255.255.255");  // nothing named: rules skip it
  EXPECT_EQ(s.NameServer("LocalHost.", 8080), "localhost");
  EXPECT_EQ(variable(s, kPropServerName), "localhost");
  EXPECT_EQ(variable(s, kPropServerPort), "8080");
  EXPECT_EQ(variable(s, kPropServerIPAddress), "127.0.0.1");
  EXPECT_EQ(s.NameServer("0x7f.2", 80), "127.0.0.2");
  EXPECT_EQ(variable(s, kPropServerIPAddress), "127.0.0.2");
  // An upstream HTTP proxy looks names up itself: no address is known here.
  s.SetConnectSettings(Via(CONNECT_HTTP_PROXY, "127.0.0.3", 3128));
  s.NameServer("localhost", 80);
  EXPECT_EQ(variable(s, kPropServerIPAddress), "255.255.255.255");
  s.SetConnectSettings(CConnectSettings{});

  // The name is never looked up again: it would not resolve at all.
  s.SetServerName("nowhere.invalid");
  s.SetServerPort(peer_.port());
  s.SetServerAddress(0x7F000002);
  ASSERT_NO_THROW(s.ConnectToServer("nowhere.invalid", peer_.port()));
  EXPECT_EQ(s.GetServerSocket().GetPeerAddress(), "127.0.0.2");
  s.GetServerSocket().Close();
  ASSERT_TRUE(peer_.WaitServed(++served_));

  // Named without its address (a lookup that had to wait for the link): looked up before the
  // connect and judged by the rights, which refuse without a right and let the right's holder on.
  uint16_t localPort = 0;
  const int local = ListenOn("127.0.0.1", &localPort);
  CTwoEndTCPSession refused;
  refused.SetClient("127.0.0.1", 40000);
  refused.SetServerName("localhost");
  refused.SetServerPort(localPort);
  try {
    refused.ConnectToServer("localhost", localPort);
    ADD_FAILURE() << "connected without a right";
  } catch (const X1SocketException& e) {
    EXPECT_EQ(e.GetText(), kRefusedByRightsText);
  }
  EXPECT_FALSE(refused.GetServerSocket().IsOpen());
  CTwoEndTCPSession allowed;
  allowed.SetClient("127.0.0.1", 40000);
  allowed.SetAccessRight(host_.allow);
  allowed.SetServerName("localhost");
  allowed.SetServerPort(localPort);
  EXPECT_EQ(variable(allowed, kPropServerIPAddress), "255.255.255.255");
  ASSERT_NO_THROW(allowed.ConnectToServer("localhost", localPort));
  EXPECT_EQ(variable(allowed, kPropServerIPAddress), "127.0.0.1");
  allowed.GetServerSocket().Close();
  ::close(local);
}

// ---- Outgoing interface and datagrams -----------------------------------------------------------

TEST_F(TwoEnd, ServerSideLocalAddressIsOwnAddress) {
  peer_.SetMode(Peer::Echo);
  CTwoEndTCPSession s;
  s.SetClient("127.0.0.1", 40000);  // a client on the gateway may reach its loopback peers
  s.SetOutgoingInterface(CInterface(INTERFACE_IP, "127.0.0.9"), INTERFACE_METHOD_FIXED);
  ASSERT_NO_THROW(s.ConnectToServer("127.0.0.2", peer_.port()));
  // Asked through the session base, as the gateways ask it.
  const CSession& base = s;
  EXPECT_TRUE(base.IsOwnAddress("127.0.0.9"));
  EXPECT_FALSE(base.IsOwnAddress("127.0.0.2"));
  s.GetServerSocket().Close();
  ASSERT_TRUE(peer_.WaitServed(++served_));
}

// The service base hands every two-end session the five connection settings before it starts.
TEST(TwoEndService, BaseGivesEveryTwoEndSessionTheConnectionSettings) {
  auto service = std::make_shared<TRunningService<CTCPServiceSettings, CTCPService>>();
  service->ConnectMethodsOffered = CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
  service->ConnectMethod = CONNECT_SOCKS4;
  service->ProxyServer = "10.0.0.9";
  service->ProxyPort = 1080;
  service->SOCKS4Password = "ident";
  service->BypassProxyOnLocal = 1;
  CTwoEndTCPSession session(service, -1);
  service->PrepareSession(session);
  const CConnectSettings cs = session.GetConnectSettings();
  EXPECT_EQ(cs.ConnectMethod, static_cast<uint32_t>(CONNECT_SOCKS4));
  EXPECT_EQ(cs.ProxyServer, "10.0.0.9");
  EXPECT_EQ(cs.ProxyPort, 1080u);
  EXPECT_EQ(cs.SOCKS4Password, "ident");
  EXPECT_EQ(cs.BypassProxyOnLocal, 1u);
}

TEST_F(TwoEnd, OutgoingInterfaceIsTheSourceAndDatagramsGoOnlyToAChosenServer) {
  // A fixed outgoing interface is the source address of the connection to the server.
  {
    peer_.SetMode(Peer::Echo);
    CTwoEndTCPSession s;
    s.SetClient("127.0.0.1", 40000);  // a client on the gateway may reach its loopback peers
    s.SetOutgoingInterface(CInterface(INTERFACE_IP, "127.0.0.9"), INTERFACE_METHOD_FIXED);
    X1Socket sock;
    sock.Create();
    ASSERT_NO_THROW(s.ConnectToServer(sock, "127.0.0.2", peer_.port()));
    EXPECT_EQ(sock.GetLocalAddress(), "127.0.0.9");
    sock.Close();
    ASSERT_TRUE(peer_.WaitServed(++served_));
  }

  uint16_t port = 0;
  int peer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = SocketAddress("127.0.0.2", 0);
  ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  SetRecvTimeout(peer);

  auto u = std::make_shared<CTwoEndUDPSession>(nullptr, std::weak_ptr<CUDPSessionOwner>(), "127.0.0.5", 999);
  u->SetOutgoingInterface(CInterface(INTERFACE_IP, "127.0.0.9"), INTERFACE_METHOD_FIXED);
  ASSERT_NO_THROW(u->OpenServerSocket());
  // No destination chosen yet: nothing is sent (an address of 0 would mean broadcast).
  u->ForwardToServer("early", 5);
  EXPECT_EQ(u->GetServerBytesSent(), 0u);
  u->SetServerAddress(ParseIPAddress("127.0.0.2"));
  u->SetServerPort(port);
  u->ForwardToServer("abc", 3);
  char b[16];
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  ASSERT_EQ(::recvfrom(peer, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 3);
  EXPECT_EQ(std::string(b, 3), "abc");
  char src[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, src, sizeof src);
  EXPECT_STREQ(src, "127.0.0.9");
  EXPECT_EQ(u->GetServerBytesSent(), 3u);
  EXPECT_EQ(u->GetClientBytesReceived(), 8u);
  CTLDataObject v;
  u->GetProperty(kPropServerIPAddress, v);
  EXPECT_TRUE(v.EqualsText("127.0.0.2"));
  u->Exit(0);
  EXPECT_EQ(u->GetServerHandle(), -1);
  ::close(peer);
}

}  // namespace
