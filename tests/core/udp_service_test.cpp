#include "engine/core/udp_service.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/config/reg_helpers.h"
#include "engine/core/machine.h"
#include "engine/proxy/common/two_end_session.h"
#include "tests/support/engine_fixture.h"

namespace {

using trellis::test::CTestSessionHost;
using trellis::test::SocketAddress;
using trellis::test::WaitFor;

// A UDP echo server on 127.0.0.1 that answers every datagram with "echo:" and what it got, and
// counts what it saw.
class EchoServer {
 public:
  EchoServer() {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = SocketAddress("127.0.0.1", 0);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Loop(); });
  }
  ~EchoServer() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  uint16_t port = 0;
  std::atomic<int> datagrams{0};
  std::atomic<size_t> longest{0};

 private:
  void Loop() {
    std::vector<char> buf(65536);
    while (!m_stop) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof(from);
      ssize_t n = recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      ++datagrams;
      if (static_cast<size_t>(n) > longest) longest = static_cast<size_t>(n);
      std::string reply = "echo:" + std::string(buf.data(), static_cast<size_t>(n));
      sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  int m_fd = -1;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

std::atomic<uint16_t> g_echoPort{0};

// Relays every client datagram to the echo server and every answer back to its client.
class CRelaySession : public CTwoEndUDPSession {
 public:
  using CTwoEndUDPSession::CTwoEndUDPSession;
  bool SetupDestination() override {
    SetServerAddress(0x7F000001);
    SetServerPort(g_echoPort.load());
    return true;
  }
  void OnServerRead() override {
    std::vector<uint8_t> buf(CTwoEndUDPService::kMaxDatagram);
    CString address;
    uint16_t port = 0;
    size_t n = m_serverSocket.ReceiveFrom(buf.data(), buf.size(), address, port);
    if (address.empty()) return;
    AddServerBytesReceived(n);
    auto service = std::dynamic_pointer_cast<CTwoEndUDPService>(GetService());
    if (service) service->SendToClient(*this, buf.data(), n);
  }
};

class CRelayService : public TRunningService<CUDPServiceSettings, CTwoEndUDPService> {
 public:
  std::shared_ptr<CTwoEndUDPSession> CreateSession(int) override {
    auto self = std::dynamic_pointer_cast<CUDPService>(shared_from_this());
    return std::make_shared<CRelaySession>(self, std::weak_ptr<CUDPSessionOwner>(self), CString(), 0);
  }
};

// A client socket on 127.0.0.1 with a port of its own.
struct Client {
  Client() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = SocketAddress("127.0.0.1", 0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  ~Client() { close(fd); }
  void Send(uint16_t port, const std::string& data) const {
    sockaddr_in to = SocketAddress("127.0.0.1", port);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  // One datagram within timeoutMs; nullopt-like "\x01none" when none came.
  std::string Receive(int timeoutMs = 15000) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "\x01none";
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n < 0 ? "\x01none" : std::string(buf, static_cast<size_t>(n));
  }
  int fd = -1;
};

std::atomic<uint64_t> g_now{1000000};
uint64_t TestTicks() { return g_now.load(); }

class UDPServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    RegWriteString("Settings", kLogDirectoryValue, trellis::test::MakeTempDir("udplogs"));
    SetSessionHost(&host);
    g_echoPort = echo.port;
    service = std::make_shared<CRelayService>();
    service->SetName("Relay");
    service->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    service->BindingOption = BINDING_SPECIFIC;
    service->SpecificBinding = "127.0.0.1";
    service->PortNumber = trellis::test::FreePort();
    service->LogOptions = 0x3FF;
    service->OpenLogFile();
  }
  void TearDown() override {
    service->Shutdown();
    host.machines.DeleteAll();
    SetSessionHost(nullptr);
    CSession::SetTickSource(nullptr);
  }
  uint16_t Port() const { return static_cast<uint16_t>(service->PortNumber); }

  EchoServer echo;
  CTestSessionHost host;
  std::shared_ptr<CRelayService> service;
};

TEST_F(UDPServiceTest, EachClientGetsItsOwnSessionAndItsOwnAnswersEvenEmptyOnes) {
  service->Startup();
  ASSERT_NE(service->GetThreadId(), 0u);
  Client a, b;
  a.Send(Port(), "from-a");
  b.Send(Port(), "from-b");
  EXPECT_EQ(a.Receive(), "echo:from-a");
  EXPECT_EQ(b.Receive(), "echo:from-b");
  EXPECT_EQ(service->GetSessionCount(), 2u);
  // A second datagram of a known client goes through its session, not a new one.
  a.Send(Port(), "again");
  EXPECT_EQ(a.Receive(), "echo:again");
  EXPECT_EQ(service->GetSessionCount(), 2u);
  // Both sessions joined the machine of 127.0.0.1.
  auto machine = host.machines.Find("127.0.0.1");
  ASSERT_TRUE(machine);
  EXPECT_EQ(machine->GetSessions().size(), 2u);

  // An empty datagram is a datagram: it is relayed, and the service goes on serving.
  Client c;
  c.Send(Port(), "");
  EXPECT_EQ(c.Receive(), "echo:");
  c.Send(Port(), "after-empty");
  EXPECT_EQ(c.Receive(), "echo:after-empty");

  // A datagram far longer than a network's packets is read and relayed whole, both ways.
  const std::string big(60000, 'x');
  a.Send(Port(), big);
  EXPECT_EQ(a.Receive(), "echo:" + big);
  EXPECT_EQ(echo.longest.load(), big.size());
}

TEST_F(UDPServiceTest, AFloodOfSourcesStaysUnderTheCapAndKnownClientsAreStillServed) {
  service->LimitSessions = 1;
  service->SessionLimit = 40;
  service->Startup();
  Client known;
  known.Send(Port(), "first");
  ASSERT_EQ(known.Receive(), "echo:first");
  {
    std::vector<std::unique_ptr<Client>> flood;
    for (int i = 0; i < 300; ++i) {
      flood.push_back(std::make_unique<Client>());
      flood.back()->Send(Port(), "x");
    }
    ASSERT_TRUE(WaitFor([&] { return service->GetSessionCount() >= 40; }));
    // Datagrams may be lost while the flood fills the socket's buffer: the client asks again, as
    // a datagram client would.
    std::string answer;
    for (int attempt = 0; attempt < 5 && answer != "echo:still"; ++attempt) {
      known.Send(Port(), "still");
      answer = known.Receive(2000);
    }
    EXPECT_EQ(answer, "echo:still");
    EXPECT_EQ(service->GetSessionCount(), 40u);
  }
  // The limit's line is written once, not once per dropped datagram.
  service->Shutdown();
  auto file = service->GetLogFile();
  ASSERT_TRUE(file);
  const std::string log = trellis::test::ReadFile(file->GetPath());
  size_t count = 0;
  for (size_t pos = log.find("Session limit of 40 reached"); pos != std::string::npos;
       pos = log.find("Session limit of 40 reached", pos + 1))
    ++count;
  EXPECT_EQ(count, 1u);
}

TEST_F(UDPServiceTest, TimeOutsWhileDatagramsFlowAndShutdownEndEverySessionOnTheServiceThread) {
  CSession::SetTickSource(&TestTicks);
  service->SessionTimeout = 5;
  service->Startup();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<Client>());
    clients.back()->Send(Port(), "hello");
    ASSERT_EQ(clients.back()->Receive(), "echo:hello");
  }
  ASSERT_EQ(service->GetSessionCount(), 8u);

  // The engine's idle pass ends sessions on this thread while their clients keep sending: the
  // service thread takes them out between its own messages.
  std::atomic<bool> stop{false};
  std::thread senders([&] {
    while (!stop)
      for (auto& c : clients) c->Send(Port(), "more");
  });
  for (int round = 0; round < 20; ++round) {
    g_now += 10000;
    host.machines.OnTimer();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  senders.join();
  // Sessions made again by later datagrams stay; ended ones have left the tables.
  EXPECT_TRUE(WaitFor([&] {
    for (const auto& s : service->GetSessions())
      if (s->IsEnding()) return false;
    return true;
  }));

  // Shutdown ends every session there is and each leaves its machine.
  service->Shutdown();
  EXPECT_EQ(service->GetSessionCount(), 0u);
  EXPECT_EQ(service->GetThreadId(), 0u);
  EXPECT_FALSE(host.machines.Find("127.0.0.1") && !host.machines.Find("127.0.0.1")->GetSessions().empty());

  // Stop and Start from another thread: a new thread, listening again.
  // Start returns before the new thread has its socket: a datagram client asks again.
  service->Start();
  Client again;
  std::string answer;
  for (int attempt = 0; attempt < 30 && answer != "echo:back"; ++attempt) {
    again.Send(Port(), "back");
    answer = again.Receive(1000);
  }
  EXPECT_EQ(answer, "echo:back");
}

}  // namespace
