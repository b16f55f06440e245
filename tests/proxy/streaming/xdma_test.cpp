// The XDMA relay with scripted peers on loopback, written from the datagram's field table: the
// port rule, the first datagram's server and stream name, the fields the relay writes, answers
// coming back unchanged, "R" ending the session, short and unterminated datagrams, and datagrams
// of a stranger to the relay's server-side socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "engine/config/reg_helpers.h"
#include "engine/proxy/streaming/xdma_service.h"
#include "tests/support/engine_fixture.h"

using namespace std::string_literals;

namespace {

using trellis::test::CTestSessionHost;
using Peer = trellis::test::DatagramPeer;
using trellis::test::SocketAddress;
using trellis::test::WaitFor;

// A datagram socket bound on address (port 0: any).
// A server on 127.0.0.2 whose port survives the port rule (its last digit is not 4).
std::unique_ptr<Peer> MakeServer() {
  for (;;) {
    auto p = std::make_unique<Peer>("127.0.0.2");
    if (p->port % 10 != 4) return p;
  }
}

std::string Datagram(char kind, uint16_t port, const std::string& stream, bool terminated = true) {
  std::string d(52, '\0');
  d[0] = kind;
  d[2] = 'a';
  d[3] = 'b';
  d[4] = 127, d[5] = 0, d[6] = 0, d[7] = 2;
  d[8] = static_cast<char>(port >> 8);
  d[9] = static_cast<char>(port & 0xFF);
  for (size_t i = 10; i < 52; ++i) d[i] = static_cast<char>(i);
  d += stream;
  if (terminated) d += std::string("\0tail", 5);
  return d;
}

TEST(XDMAForm, PortRuleAndFirstDatagram) {
  EXPECT_EQ(xdma::ServerPort(8004), 800u);
  EXPECT_EQ(xdma::ServerPort(1234), 123u);
  EXPECT_EQ(xdma::ServerPort(4), 0u);
  EXPECT_EQ(xdma::ServerPort(8000), 8000u);
  EXPECT_EQ(xdma::ServerPort(44), 4u);
  xdma::FirstDatagram f;
  const std::string d = Datagram('X', 12300, "live");
  ASSERT_TRUE(xdma::ParseFirst(reinterpret_cast<const uint8_t*>(d.data()), d.size(), &f));
  EXPECT_EQ(f.address, 0x7F000002u);
  EXPECT_EQ(f.port, 12300u);
  EXPECT_EQ(f.stream, "live");
  const std::string open = Datagram('X', 12300, "unterminated", false);
  ASSERT_TRUE(xdma::ParseFirst(reinterpret_cast<const uint8_t*>(open.data()), open.size(), &f));
  EXPECT_EQ(f.stream, "") << "a name without its zero byte within the datagram is none";
  EXPECT_FALSE(xdma::ParseFirst(reinterpret_cast<const uint8_t*>(d.data()), 9, &f));
}

class XDMATest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    RegWriteString("Settings", kLogDirectoryValue, trellis::test::MakeTempDir("xdmalogs"));
    SetSessionHost(&host);
    service = std::make_shared<CXDMAService>();
    EXPECT_EQ(service->PortNumber, 8000u);
    EXPECT_EQ(service->SessionTimeout, 20u);
    service->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    service->BindingOption = BINDING_SPECIFIC;
    service->SpecificBinding = "127.0.0.1";
    service->PortNumber = trellis::test::FreePort();
    service->LogOptions = 0x3FF;
    service->OpenLogFile();
    service->Startup();
  }
  void TearDown() override {
    service->Shutdown();
    host.machines.DeleteAll();
    SetSessionHost(nullptr);
  }
  uint16_t Port() const { return static_cast<uint16_t>(service->PortNumber); }

  CTestSessionHost host;
  std::shared_ptr<CXDMAService> service;
};

TEST_F(XDMATest, RelaysToTheNamedServerWithItsPortWrittenAndBack) {
  auto server = MakeServer();
  Peer player("127.0.0.1");
  const std::string first = Datagram('X', server->port, "live/news");
  player.SendTo("127.0.0.1", Port(), first);
  uint16_t relayPort = 0;
  const std::string got = server->Receive(&relayPort);
  ASSERT_EQ(got.size(), first.size());
  std::string expected = first;
  expected[1] |= 1;
  expected[8] = static_cast<char>(relayPort >> 8);
  expected[9] = static_cast<char>(relayPort & 0xFF);
  EXPECT_TRUE(got == expected) << "flag bit and the relay's port, every other byte unchanged";
  ASSERT_EQ(service->GetSessionCount(), 1u);
  EXPECT_EQ(service->GetSessions()[0]->GetDescription(),
            "XDMA://127.0.0.2:" + std::to_string(server->port) + "/live/news");

  // The answer comes back unchanged from the port the player wrote to.
  server->SendTo("127.0.0.1", relayPort, "answer\x00\x01"s);
  uint16_t from = 0;
  EXPECT_EQ(player.Receive(&from), "answer\x00\x01"s);
  EXPECT_EQ(from, Port());

  // A stranger writing to the relay's server-side socket reaches nobody.
  Peer stranger("127.0.0.3");
  stranger.SendTo("127.0.0.1", relayPort, "injected");
  EXPECT_EQ(player.Receive(nullptr, 500), "\x01none");

  // Later datagrams go to the same server whatever their bytes 4-9 say; "R" ends the session.
  std::string last = Datagram('R', 9, "");
  player.SendTo("127.0.0.1", Port(), last);
  const std::string gotLast = server->Receive();
  ASSERT_EQ(gotLast.size(), last.size());
  EXPECT_EQ(gotLast[0], 'R');
  EXPECT_EQ(gotLast[1] & 1, 1);
  ASSERT_TRUE(WaitFor([&] { return service->GetSessionCount() == 0; }, 30000));
  // The player's next datagram makes a new session.
  player.SendTo("127.0.0.1", Port(), Datagram('P', server->port, ""));
  EXPECT_NE(server->Receive(), "\x01none");
  EXPECT_EQ(service->GetSessionCount(), 1u);
  EXPECT_EQ(service->GetSessions()[0]->GetDescription(), "XDMA:") << "only kind X names a stream";
}

TEST_F(XDMATest, ShortAndUnusableFirstDatagramsAreDroppedAndTheRelayServesOn) {
  auto server = MakeServer();
  Peer a("127.0.0.1"), b("127.0.0.1"), c("127.0.0.1");
  a.SendTo("127.0.0.1", Port(), "X\x00\x00\x00\x7f"s);
  b.SendTo("127.0.0.1", Port(), Datagram('X', 4, "zero"));  // the port rule gives 0
  c.SendTo("127.0.0.1", Port(), "");
  ASSERT_TRUE(WaitFor([&] { return service->GetSessionCount() == 0; }, 30000));
  EXPECT_EQ(server->Receive(nullptr, 300), "\x01none");
  // A long unterminated name is read only within the datagram.
  Peer d("127.0.0.1");
  d.SendTo("127.0.0.1", Port(), Datagram('X', server->port, std::string(4000, 'n'), false));
  EXPECT_EQ(server->Receive().size(), 52u + 4000u);
  ASSERT_EQ(service->GetSessionCount(), 1u);
  EXPECT_EQ(service->GetSessions()[0]->GetDescription(), "XDMA://127.0.0.2:" + std::to_string(server->port) + "/");
}

}  // namespace
