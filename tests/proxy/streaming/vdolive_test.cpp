// The VDOLive relay with scripted peers on loopback, written from the message table: messages in
// pieces, texts of every padding, the request kept from the server, the media port rewritten in
// set-up and hello, raw bytes after the hello, media datagrams both ways, a stranger's first
// datagram dropped, and malformed messages ending only their session.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "engine/proxy/streaming/vdolive_service.h"
#include "tests/support/engine_fixture.h"

namespace {

using namespace std::string_literals;
using trellis::test::Connect;
using Datagrams = trellis::test::DatagramPeer;
using trellis::test::CTestSessionHost;
using trellis::test::ListenOn;
using trellis::test::ReadSome;
using trellis::test::ReadToEnd;
using trellis::test::SendAll;
using trellis::test::SocketAddress;
using trellis::test::WaitFor;

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  vdolive::Put32(s, 0, v);
  return s;
}
std::string Text(const std::string& t) {
  std::string s = U32(static_cast<uint32_t>(t.size())) + t;
  while (s.size() % 4) s += '\0';
  return s;
}
std::string Message(uint32_t type, const std::string& body) {
  return U32(static_cast<uint32_t>(body.size() + 4)) + U32(type) + body;
}
std::string Request(uint32_t port, const std::string& host, const std::string& file) {
  return Message(32, U32(port) + Text(host) + Text(file));
}
std::string MediaSetup(const std::string& name, uint32_t port) {
  return Message(6, Text(name) + U32(0xA1A2A3A4) + U32(0xB1B2B3B4) + U32(port) + "tail"s);
}
std::string Hello(uint32_t port) { return Message(1, "VDO Live"s + U32(port) + "more"s); }

TEST(VDOLiveForm, MessagesTextsAndOffsets) {
  std::string in = Request(7000, "abc", "f");
  std::string whole = in, out;
  std::string part = in.substr(0, 5);
  EXPECT_EQ(vdolive::TakeMessage(part, &out), vdolive::Take::More);
  EXPECT_EQ(vdolive::TakeMessage(in, &out), vdolive::Take::Whole);
  EXPECT_EQ(out, whole);
  EXPECT_TRUE(in.empty());
  std::string huge = U32(0x7FFFFFFF) + U32(32);
  EXPECT_EQ(vdolive::TakeMessage(huge, &out), vdolive::Take::Bad);
  std::string zero = U32(0) + "xxxx"s;
  EXPECT_EQ(vdolive::TakeMessage(zero, &out), vdolive::Take::Bad);

  for (const std::string host : {"", "a", "abc", "abcd", "abcde"}) {
    vdolive::Request r;
    ASSERT_TRUE(vdolive::ParseRequest(Request(1234, host, "clip.vdo"), &r)) << host;
    EXPECT_EQ(r.host, host);
    EXPECT_EQ(r.port, 1234u);
    EXPECT_EQ(r.file, "clip.vdo");
    const std::string m = MediaSetup(host, 5555);
    size_t at = 0;
    ASSERT_TRUE(vdolive::MediaPortOffset(m, &at)) << host;
    EXPECT_EQ(vdolive::Get32(m, at), 5555u) << host;
  }
  // A name that claims to run past the message.
  std::string bad = Message(6, U32(100) + "ab"s);
  size_t at = 0;
  EXPECT_FALSE(vdolive::MediaPortOffset(bad, &at));
  vdolive::Request r;
  EXPECT_FALSE(vdolive::ParseRequest(Message(32, U32(1) + U32(0xFFFFFFF0)), &r));
  EXPECT_TRUE(vdolive::IsHello(Hello(1)));
  EXPECT_FALSE(vdolive::IsHello(Message(1, "VDO Live")));  // no port to rewrite
  EXPECT_FALSE(vdolive::IsHello(Message(1, "VDO Dead"s + U32(1))));
}

class VDOLiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    RegWriteString("Settings", kLogDirectoryValue, trellis::test::MakeTempDir("vdologs"));
    SetSessionHost(&host);
    service = std::make_shared<CVDOLiveService>();
    EXPECT_EQ(service->PortNumber, 7000u);
    service->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    service->BindingOption = BINDING_SPECIFIC;
    service->SpecificBinding = "127.0.0.1";
    service->PortNumber = trellis::test::FreePort();
    service->LogOptions = 0x3FF;
    service->OpenLogFile();
    service->Start();
    serverFd = ListenOn("127.0.0.2", &serverPort);
  }
  void TearDown() override {
    service->Stop();
    CTCPSession::WaitForAll(30000);
    ::close(serverFd);
    host.machines.DeleteAll();
    SetSessionHost(nullptr);
  }
  uint16_t Port() const { return static_cast<uint16_t>(service->PortNumber); }
  int Accept() {
    pollfd p{serverFd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return -1;
    return ::accept4(serverFd, nullptr, nullptr, SOCK_CLOEXEC);
  }

  CTestSessionHost host;
  std::shared_ptr<CVDOLiveService> service;
  int serverFd = -1;
  uint16_t serverPort = 0;
};

TEST_F(VDOLiveTest, RequestSetupHelloRawAndMediaBothWays) {
  Datagrams playerMedia("127.0.0.1"), serverMedia("127.0.0.2"), stranger("127.0.0.3");
  int player = Connect(Port());
  ASSERT_GE(player, 0);
  const std::string request = Request(serverPort, "127.0.0.2", "movie.vdo");
  // In pieces: the relay takes a message only when it is whole.
  for (size_t i = 0; i < request.size(); i += 7) {
    ASSERT_TRUE(SendAll(player, request.substr(i, 7)));
    usleep(2000);
  }
  int server = Accept();
  ASSERT_GE(server, 0) << "the relay connects to the named server";
  ASSERT_TRUE(WaitFor([&] { return service->GetSessionCount() == 1; }, 30000));
  auto session = service->GetSessions()[0];
  CTLDataObject file;
  session->GetProperty(kPropVDOLiveFile, file);
  EXPECT_TRUE(file.EqualsText("movie.vdo"));
  EXPECT_EQ(session->GetDescription(), "VDOLive://127.0.0.2:" + std::to_string(serverPort) + "/movie.vdo");

  // Set-up and hello in one write; the request itself never reaches the server.
  const std::string setup = MediaSetup("abc", playerMedia.port), hello = Hello(4321);
  ASSERT_TRUE(SendAll(player, setup + hello + "RAW bytes after the hello"));
  std::string got = ReadSome(server, setup.size() + hello.size() + 25);
  ASSERT_EQ(got.size(), setup.size() + hello.size() + 25) << got;
  size_t at = 0;
  ASSERT_TRUE(vdolive::MediaPortOffset(setup, &at));
  const uint32_t relayMedia = vdolive::Get32(got, at);
  EXPECT_NE(relayMedia, playerMedia.port);
  std::string expected = setup;
  vdolive::Put32(expected, at, relayMedia);
  std::string expectedHello = hello;
  vdolive::Put32(expectedHello, 16, relayMedia);
  expected += expectedHello + "RAW bytes after the hello";
  EXPECT_TRUE(got == expected);

  // A stranger's datagram to the announced port goes nowhere; the server's reaches the player.
  stranger.SendTo("127.0.0.1", static_cast<uint16_t>(relayMedia), "injected");
  EXPECT_EQ(playerMedia.Receive(nullptr, 500), "\x01none");
  serverMedia.SendTo("127.0.0.1", static_cast<uint16_t>(relayMedia), "frame-1");
  uint16_t clientSide = 0;
  EXPECT_EQ(playerMedia.Receive(&clientSide), "frame-1");
  playerMedia.SendTo("127.0.0.1", clientSide, "feedback");
  EXPECT_EQ(serverMedia.Receive(), "feedback");

  // Server to player, then the server's end reaches the player after its last bytes.
  ASSERT_TRUE(SendAll(server, "server says hi"));
  ::shutdown(server, SHUT_WR);
  ::shutdown(player, SHUT_WR);
  EXPECT_EQ(ReadToEnd(player), "server says hi");
  ::close(server);
  ::close(player);
}

TEST_F(VDOLiveTest, MalformedMessagesEndOnlyTheirSession) {
  for (const std::string& bad :
       {U32(0x7FFFFFFF) + U32(32), U32(0) + "xxxx"s, Message(32, U32(1) + U32(60000)), Message(99, "x"s)}) {
    int player = Connect(Port());
    ASSERT_TRUE(SendAll(player, bad));
    EXPECT_EQ(ReadToEnd(player), "");
    ::close(player);
  }
  // After the request, a set-up whose name runs past the message ends the session too.
  int player = Connect(Port());
  ASSERT_TRUE(SendAll(player, Request(serverPort, "127.0.0.2", "f")));
  int server = Accept();
  ASSERT_GE(server, 0);
  ASSERT_TRUE(SendAll(player, Message(6, U32(3000) + "ab"s)));
  EXPECT_EQ(ReadToEnd(player), "");
  ::close(player);
  ::close(server);
  // A fresh session is served.
  player = Connect(Port());
  ASSERT_TRUE(SendAll(player, Request(serverPort, "127.0.0.2", "g")));
  server = Accept();
  EXPECT_GE(server, 0);
  ::close(player);
  ::close(server);
}

}  // namespace
