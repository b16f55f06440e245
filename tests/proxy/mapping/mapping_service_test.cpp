// The mapping services in the engine: the first-run mapping services with their destinations, and
// two TCP mapping services joined by the enciphered link (a fixed user, any user of the database,
// a wrong password), with a tap between them that must see no plain byte of the relayed stream.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "engine/access/user.h"
#include "engine/config/reg_helpers.h"
#include "engine/core/engine.h"
#include "engine/core/service_manager.h"
#include "engine/proxy/mapping/tcp_mapping_service.h"
#include "engine/proxy/mapping/udp_mapping_service.h"
#include "engine/remote/link.h"
#include "tests/support/engine_fixture.h"

namespace {

using trellis::test::Connect;
using trellis::test::ConnectTo;
using trellis::test::CTestEchoService;
using trellis::test::CTestSessionHost;
using trellis::test::FreePort;
using trellis::test::ListenOn;
using trellis::test::ReadToEnd;
using trellis::test::SendAll;
using trellis::test::WaitFor;

// Accepts one connection at a time and relays it to 127.0.0.1:target, keeping what passed.
class Tap {
 public:
  explicit Tap(uint16_t target) : target_(target) {
    fd_ = ListenOn("127.0.0.1", &port_);
    thread_ = std::thread([this] { Loop(); });
  }
  ~Tap() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  std::string Seen() {
    std::lock_guard<std::mutex> g(mx_);
    return seen_;
  }

 private:
  void Loop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      int s = ConnectTo("127.0.0.1", "127.0.0.1", target_);
      pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
      bool open[2] = {true, true};
      while ((open[0] || open[1]) && ::poll(p, 2, 10000) > 0) {
        for (int i = 0; i < 2; ++i) {
          if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          char b[16384];
          ssize_t n = ::recv(p[i].fd, b, sizeof b, 0);
          if (n <= 0) {
            open[i] = false;
            p[i].fd = -1;
            ::shutdown(i == 0 ? s : c, SHUT_WR);
            continue;
          }
          {
            std::lock_guard<std::mutex> g(mx_);
            seen_.append(b, static_cast<size_t>(n));
          }
          SendAll(i == 0 ? s : c, std::string(b, static_cast<size_t>(n)));
        }
      }
      ::close(s);
      ::close(c);
    }
  }
  uint16_t target_;
  uint16_t port_ = 0;
  int fd_ = -1;
  std::mutex mx_;
  std::string seen_;
  std::thread thread_;
};

class MappingServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    for (const auto& key : RegEnumSubKeys(nullptr)) RegDeleteKeyTree(key);
    RegWriteDWORD("Settings", "Version", 513);
    logDir = trellis::test::MakeTempDir("maplogs");
    RegWriteString("Settings", kLogDirectoryValue, logDir);
    SetSessionHost(&host);
  }
  void TearDown() override {
    for (auto& s : started) s->Stop();
    CTCPSession::WaitForAll(30000);
    host.machines.DeleteAll();
    SetSessionHost(nullptr);
  }
  template <class S>
  std::shared_ptr<S> Run(std::shared_ptr<S> s, const char* name, uint16_t port) {
    s->SetName(name);
    s->PortNumber = port;
    s->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    s->BindingOption = BINDING_SPECIFIC;
    s->SpecificBinding = "127.0.0.1";
    s->LogOptions = 0x3FF;
    s->OpenLogFile();
    s->Start();
    EXPECT_EQ(s->GetRunningState(), SERVICE_RUNNING) << name;
    started.push_back(s);
    return s;
  }
  std::shared_ptr<CTCPMappingService> Mapping(uint16_t to) {
    auto s = std::make_shared<CTCPMappingService>();
    s->Mappings->Default = CHostPort("127.0.0.1", to);
    return s;
  }
  std::string Logs() {
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(logDir)) all += trellis::test::ReadFile(f.path());
    return all;
  }
  // Sends body, ends its sending and reads the answer to the end.
  static std::string RoundTrip(uint16_t port, const std::string& body) {
    int c = Connect(port);
    std::thread writer([&] {
      SendAll(c, body);
      ::shutdown(c, SHUT_WR);
    });
    std::string back = ReadToEnd(c);
    writer.join();
    ::close(c);
    return back;
  }

  std::string logDir;
  CTestSessionHost host;
  std::vector<std::shared_ptr<CService>> started;
};

std::string Body() {
  std::string body;
  while (body.size() < 300000) body += "PLAIN-MARKER-" + std::to_string(body.size()) + "\n";
  return body;
}

TEST_F(MappingServiceTest, TwoServicesJoinedByTheLinkRelayCipheredBytesOnly) {
  const uint16_t echoPort = FreePort(), bPort = FreePort(), aPort = FreePort();
  Run(std::make_shared<CTestEchoService>(), "Echo", echoPort);
  auto b = Mapping(echoPort);
  b->EncryptConnectionsIn = 1;
  b->SpecifyUserForIncomingConnection = 1;
  b->UsernameIn = "peer";
  b->PasswordIn = "s3cret";
  Run(b, "B", bPort);
  Tap tap(bPort);
  auto a = Mapping(tap.port());
  a->EncryptConnectionsOut = 1;
  a->UsernameOut = "peer";
  a->PasswordOut = "s3cret";
  Run(a, "A", aPort);

  // 300 kB in flight at once: far more than one relay read, deciphered chunk by chunk.
  const std::string body = Body();
  const std::string back = RoundTrip(aPort, body);
  EXPECT_EQ(back.size(), body.size());
  EXPECT_TRUE(back == body);
  const std::string seen = tap.Seen();
  EXPECT_GT(seen.size(), 2 * body.size()) << "both directions passed the tap";
  EXPECT_EQ(seen.find("PLAIN-MARKER"), std::string::npos) << "plain bytes between the engines";
  EXPECT_NE(Logs().find("TCPMapping: Connected to 127.0.0.1:" + std::to_string(tap.port())), std::string::npos);

  // A plain client of B gets the challenge and no relay.
  int c = Connect(bPort);
  SendAll(c, "GET / HTTP/1.0\r\n\r\n");
  ::shutdown(c, SHUT_WR);
  std::string reply = ReadToEnd(c);
  ::close(c);
  EXPECT_EQ(reply.find("GET /"), std::string::npos);

  // A wrong password: nothing relayed, B names the user.
  a->PasswordOut = "wrong";
  EXPECT_EQ(RoundTrip(aPort, "hello"), "");
  ASSERT_TRUE(WaitFor([&] { return Logs().find("User peer failed password") != std::string::npos; }, 10000));
  EXPECT_NE(Logs().find("Caught socket exception in CTCPMappingSession::Initialize()"), std::string::npos);
}

TEST_F(MappingServiceTest, WithoutAFixedUserAnyEnabledUserOfTheDatabaseLogsIn) {
  auto carol = std::make_shared<CUser>("carol", "", "pw-carol", "");
  host.users.Add(carol, nullptr);
  auto dave = std::make_shared<CUser>("dave", "", "pw-dave", "");
  dave->AccountEnabled = 0;
  host.users.Add(dave, nullptr);
  const uint16_t echoPort = FreePort(), bPort = FreePort(), aPort = FreePort();
  Run(std::make_shared<CTestEchoService>(), "Echo", echoPort);
  auto b = Mapping(echoPort);
  b->EncryptConnectionsIn = 1;
  b->UsernameIn = "peer";  // not used without a fixed user
  b->PasswordIn = "other";
  Run(b, "B", bPort);
  auto a = Mapping(bPort);
  a->EncryptConnectionsOut = 1;
  a->UsernameOut = "carol";
  a->PasswordOut = "pw-carol";
  Run(a, "A", aPort);
  EXPECT_EQ(RoundTrip(aPort, "hello carol"), "hello carol");
  a->UsernameOut = "dave";
  a->PasswordOut = "pw-dave";
  EXPECT_EQ(RoundTrip(aPort, "hello dave"), "");
  a->UsernameOut = "peer";
  a->PasswordOut = "other";
  EXPECT_EQ(RoundTrip(aPort, "hello peer"), "") << "the fixed user is not asked for";
}

TEST_F(MappingServiceTest, AUDPClientWithoutADestinationKeepsNoSession) {
  auto udp = std::make_shared<CUDPMappingService>();
  udp->SetName("U");
  udp->PortNumber = FreePort();
  udp->AccessRights.AddRecipient(std::make_shared<CRecipient>());
  udp->BindingOption = BINDING_SPECIFIC;
  udp->SpecificBinding = "127.0.0.1";
  udp->LogOptions = 0x3FF;
  udp->Mappings->AllowDefault = 0;
  udp->OpenLogFile();
  udp->Startup();
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = trellis::test::SocketAddress("127.0.0.1", static_cast<uint16_t>(udp->PortNumber));
  for (int i = 0; i < 3; ++i) sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(WaitFor(
      [&] { return Logs().find("No mapping or default not allowed - terminating") != std::string::npos; }, 30000));
  // Each datagram found no session left behind by the one before: every one was refused anew.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string logs = Logs();
        size_t n = 0;
        for (size_t p = 0; (p = logs.find("No mapping or default", p)) != std::string::npos; ++p) ++n;
        return n == 3;
      },
      30000));
  EXPECT_EQ(udp->GetSessionCount(), 0u);
  ::close(fd);
  udp->Shutdown();
}

TEST_F(MappingServiceTest, FirstRunMakesTheFourMappingServicesWithTheirDestinations) {
  RegWriteDWORD("Setup", "Mode", 1);
  RegWriteString("Setup", "SMTPServer", "127.0.0.3");
  RegWriteString("Setup", "InternalSMTPServer", "127.0.0.4");
  RegWriteDWORD("Setup", "InternalSMTPPort", 2525);
  RegWriteString("Setup", "IRCServer", "irc.example");
  RegWriteDWORD("Setup", "IRCPort", 7000);
  RegWriteString("Setup", "NewsServer", "news.example");
  RegWriteString("Setup", "IMAP4Server", "imap.example");
  RegWriteDWORD("Setup", "InstallRealAudio", 1);
  RegWriteDWORD("Setup", "InstallVDOLive", 1);
  RegWriteDWORD("Setup", "InstallXDMA", 1);
  CTrellisEngine engine;
  engine.LoadConfiguration();

  struct Want {
    const char* name;
    const char* description;
    uint32_t port;
    CHostPort destination;
  };
  const Want wants[] = {
      {"SMTP Mapping", "Enables sending Internet mail", 25, {"127.0.0.4", 2525}},
      {"IRC Mapping", "Enables access to IRC network", 6667, {"irc.example", 7000}},
      {"News (NNTP) Mapping", "Enables access to Internet News", 119, {"news.example", 119}},
      {"IMAP4 Mapping", "Enables access to Mail using IMAP4 Protocol", 143, {"imap.example", 143}},
  };
  for (const auto& w : wants) {
    SCOPED_TRACE(w.name);
    auto s = std::dynamic_pointer_cast<CTCPMappingService>(engine.GetServiceManager().FindService(w.name));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->GetDescription(), w.description);
    EXPECT_EQ(s->PortNumber, w.port);
    EXPECT_EQ(s->Mappings->AllowDefault, 1u);
    EXPECT_EQ(s->Mappings->Default, w.destination);
    // Stored as it was made.
    const CString key = CString("Services\\") + w.name + "\\Mappings";
    EXPECT_EQ(RegReadString(key, "Host", ""), w.destination.Host);
    EXPECT_EQ(RegReadDWORD(key, "AllowDefault", 9), 1u);
  }
  // Mail from the internal server itself goes to the outside server.
  auto smtp = std::dynamic_pointer_cast<CTCPMappingService>(engine.GetServiceManager().FindService("SMTP Mapping"));
  auto rules = smtp->Mappings->GetMappings();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]->Destination, CHostPort("127.0.0.3", 25));
  EXPECT_EQ(rules[0]->SpecifyLocation, 1u);
  EXPECT_EQ(rules[0]->IncludedLocations, std::vector<CString>{"127.0.0.4"});
  CMappingRequest fromInternal;
  fromInternal.ClientAddress = "127.0.0.4";
  CMappingRequest fromClient;
  fromClient.ClientAddress = "192.168.0.7";
  CHostPort dest;
  ASSERT_TRUE(smtp->Mappings->Resolve(fromInternal, dest));
  EXPECT_EQ(dest, CHostPort("127.0.0.3", 25));
  ASSERT_TRUE(smtp->Mappings->Resolve(fromClient, dest));
  EXPECT_EQ(dest, CHostPort("127.0.0.4", 2525));
  EXPECT_EQ(RegReadString("Services\\SMTP Mapping\\Mappings\\Mapping0", "Host", ""), "127.0.0.3");

  // The streaming relays come with their own defaults.
  const std::pair<const char*, uint32_t> relays[] = {
      {"RealAudio Proxy server", 1090}, {"VDOLive Proxy server", 7000}, {"XDMA Proxy service", 8000}};
  for (const auto& [name, port] : relays) {
    auto s = engine.GetServiceManager().FindService(name);
    ASSERT_TRUE(s) << name;
    EXPECT_EQ(s->Settings().PortNumber, port) << name;
  }
  EXPECT_EQ(RegReadString("Services\\XDMA Proxy service", "ServiceType", ""), "CXDMAService");
  EXPECT_EQ(RegReadDWORD("Services\\XDMA Proxy service", "SessionTimeout", 0), 20u);
}

}  // namespace
