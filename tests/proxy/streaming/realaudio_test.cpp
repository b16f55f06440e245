// The RealAudio relay with scripted peers on loopback, written from the record and message tables:
// the hello, the records in one write, "Connected OK", the player's ports rewritten in messages 1
// and 7 and the relay's robust port in the server's answer, datagrams on both UDP paths (a
// stranger's dropped), TCP mode, and bad information ending only its session.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "engine/proxy/streaming/realaudio_service.h"
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

std::string U16(uint16_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
std::string Record(uint8_t type, const std::string& payload) {
  return U16(static_cast<uint16_t>(payload.size() + 1)) + static_cast<char>(type) + payload;
}
std::string Control(uint16_t id, const std::string& payload) {
  return U16(id) + U16(static_cast<uint16_t>(payload.size())) + payload;
}

TEST(RealAudioForm, RecordsMessagesAndStatus) {
  EXPECT_EQ(realaudio::BuildStatusRecord(0, "Connected OK"), "\x00\x0e\x06\x00"s + "Connected OK");
  EXPECT_EQ(realaudio::BuildStatusRecord(1, std::string(1000, 'e')).size(), 256u) << "cut to its record";
  std::string in = Record(3, U16(7070)) + "\x00"s, out;
  EXPECT_EQ(realaudio::TakeRecord(in, &out), realaudio::Take::Whole);
  EXPECT_EQ(out, Record(3, U16(7070)));
  EXPECT_EQ(realaudio::TakeRecord(in, &out), realaudio::Take::More);
  std::string zero = "\x00\x00\x02"s;
  EXPECT_EQ(realaudio::TakeRecord(zero, &out), realaudio::Take::Bad);
  std::string name = U16(60000) + "\x02"s;
  EXPECT_EQ(realaudio::TakeRecord(name, &out), realaudio::Take::Bad);
  std::string noPort = Control(1, "");
  EXPECT_EQ(realaudio::TakeControl(noPort, &out), realaudio::Take::Bad);
  std::string big = Control(9, std::string(4000, 'p'));
  EXPECT_EQ(realaudio::TakeControl(big, &out), realaudio::Take::Bad);
  EXPECT_TRUE(realaudio::AcceptsRobust("O\x08\x00\x07\x12\x34wxyz"s));
  EXPECT_FALSE(realaudio::AcceptsRobust("O\x08\x00\x06\x12\x34wxyz"s));
}

class RealAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    RegWriteString("Settings", kLogDirectoryValue, trellis::test::MakeTempDir("ralogs"));
    SetSessionHost(&host);
    service = std::make_shared<CRealAudioService>();
    EXPECT_EQ(service->PortNumber, 1090u);
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
  std::string Header(bool tcp) {
    return Record(1, "\x01") + Record(2, "127.0.0.2") + Record(3, U16(serverPort)) + Record(4, U16(2)) +
           (tcp ? Record(5, "\x01") : "") + Record(6, "ready") + Record(0, "");
  }
  const std::string connected = "\x02\x00\x01\x01"s + realaudio::BuildStatusRecord(0, "Connected OK");

  CTestSessionHost host;
  std::shared_ptr<CRealAudioService> service;
  int serverFd = -1;
  uint16_t serverPort = 0;
};

TEST_F(RealAudioTest, UDPModeRewritesPortsAndRelaysBothDatagramPaths) {
  Datagrams playerData("127.0.0.1"), playerRobust("127.0.0.1"), serverData("127.0.0.2"), serverRobust("127.0.0.2"),
      stranger("127.0.0.3");
  int player = Connect(Port());
  // The header records byte by byte: the first decision waits for the first record's type.
  for (char ch : Header(false)) {
    ASSERT_TRUE(SendAll(player, std::string(1, ch)));
    usleep(1000);
  }
  EXPECT_EQ(ReadSome(player, connected.size()), connected);
  int server = Accept();
  ASSERT_GE(server, 0);

  const std::string preamble = "PNA\x00\x0a"s;
  const std::string m1 = Control(1, U16(playerData.port) + "rest1");
  const std::string m7 = Control(7, U16(playerRobust.port) + "rest7");
  const std::string m3 = Control(3, "other");
  // Byte by byte: whole messages only, whatever the segments.
  const std::string stream = preamble + m1 + m7 + m3 + Control(0, "") + "RAW-UP";
  for (char ch : stream) {
    ASSERT_TRUE(SendAll(player, std::string(1, ch)));
    usleep(1000);
  }
  const std::string got = ReadSome(server, stream.size());
  ASSERT_EQ(got.size(), stream.size());
  EXPECT_EQ(got.substr(0, 5), preamble);
  const uint16_t relayData = realaudio::Get16(got, 5 + 4);
  const uint16_t relayRobust = realaudio::Get16(got, 5 + m1.size() + 4);
  EXPECT_NE(relayData, playerData.port);
  std::string expected = stream;
  realaudio::Put16(expected, 5 + 4, relayData);
  realaudio::Put16(expected, 5 + m1.size() + 4, relayRobust);
  EXPECT_TRUE(got == expected) << "only the two ports change";

  // The server's answer accepts robust UDP: its port becomes the relay's.
  const std::string answer = "O\x08\x00\x07"s + U16(serverRobust.port) + "abcd";
  ASSERT_TRUE(SendAll(server, "123456789" + answer + "RAW-DOWN"));
  std::string back = ReadSome(player, 9 + 10 + 8);
  std::string want = "123456789" + answer + "RAW-DOWN";
  realaudio::Put16(want, 9 + 4, relayRobust);
  EXPECT_TRUE(back == want);

  // Data: the server's datagrams reach the player's data port, a stranger's do not.
  stranger.SendTo("127.0.0.1", relayData, "injected");
  EXPECT_EQ(playerData.Receive(nullptr, 300), "\x01none");
  serverData.SendTo("127.0.0.1", relayData, "audio-1");
  EXPECT_EQ(playerData.Receive(), "audio-1");
  // Robust: player to the server's robust port, server to the player's own robust port.
  playerRobust.SendTo("127.0.0.1", relayRobust, "resend 7");
  EXPECT_EQ(serverRobust.Receive(), "resend 7");
  serverRobust.SendTo("127.0.0.1", relayRobust, "robust-1");
  EXPECT_EQ(playerRobust.Receive(), "robust-1");
  EXPECT_EQ(playerData.Receive(nullptr, 300), "\x01none");

  ::shutdown(server, SHUT_WR);
  EXPECT_EQ(ReadToEnd(player), "");
  ::close(server);
  ::close(player);
}

TEST_F(RealAudioTest, TCPModeRelaysEverythingUnchanged) {
  int player = Connect(Port());
  std::string body;
  for (int i = 0; body.size() < 1000000; ++i) body += std::to_string(i) + ",";
  ASSERT_TRUE(SendAll(player, Header(true)));
  EXPECT_EQ(ReadSome(player, connected.size()), connected);
  int server = Accept();
  ASSERT_GE(server, 0);
  std::thread up([&] {
    SendAll(player, body);
    ::shutdown(player, SHUT_WR);
  });
  EXPECT_TRUE(ReadToEnd(server) == body) << "player to server";
  up.join();
  std::thread down([&] {
    SendAll(server, body);
    ::shutdown(server, SHUT_WR);
  });
  EXPECT_TRUE(ReadToEnd(player) == body) << "server to player";
  down.join();
  ::close(player);
  ::close(server);
}

TEST_F(RealAudioTest, BadInformationEndsOnlyItsSession) {
  const std::string badInfo = realaudio::BuildStatusRecord(2, "Bad Info Passed");
  struct Case {
    std::string send, reply;
  };
  const Case cases[] = {
      {Record(1, "\x01") + Record(0, ""), "\x02\x00\x01\x01"s + badInfo},         // connect without a server
      {Record(1, "\x02"), ""},                                                    // hello version 2
      {Record(1, "\x01") + "\x00\x00\x02"s, "\x02\x00\x01\x01"s + badInfo},       // a record of length 0
      {Record(1, "\x01") + U16(60000) + "\x02"s, "\x02\x00\x01\x01"s + badInfo},  // a name of 60000
      {Record(2, "host"), badInfo},  // a first record that is no hello: non-proxy action 0
  };
  for (const auto& c : cases) {
    int player = Connect(Port());
    ASSERT_TRUE(SendAll(player, c.send));
    EXPECT_EQ(ReadToEnd(player), c.reply);
    ::close(player);
  }
  // A refused port on the named server: status 1 with the socket's text.
  service->Stop();
  service->Start();
  int player = Connect(Port());
  ASSERT_TRUE(SendAll(player, Record(1, "\x01") + Record(2, "127.0.0.2") +
                                  Record(3, U16(trellis::test::FreePort("127.0.0.2"))) + Record(0, "")));
  const std::string reply = ReadToEnd(player);
  ASSERT_GE(reply.size(), 8u);
  EXPECT_EQ(reply[4 + 2], 6);
  EXPECT_EQ(reply[4 + 3], 1);
  ::close(player);
  // A fresh session is served.
  player = Connect(Port());
  ASSERT_TRUE(SendAll(player, Header(false)));
  EXPECT_EQ(ReadSome(player, connected.size()), connected);
  ::close(player);
  int server = Accept();
  ::close(server);
}

}  // namespace
