#include "engine/core/service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"
#include "engine/access/user_db.h"
#include "engine/core/machine.h"
#include "engine/core/service_manager.h"
#include "engine/core/session.h"
#include "tests/support/engine_fixture.h"

namespace {

using namespace std::chrono_literals;
using trellis::test::Connect;
using trellis::test::CPlainTCPService;
using trellis::test::CTestEchoService;
using trellis::test::CTestSessionHost;
using trellis::test::FreePort;
using trellis::test::OpenDescriptors;
using trellis::test::ReadFile;
using trellis::test::ReadSome;
using trellis::test::WaitFor;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Rights checks see the built-in accounts; every machine's user is "Guest".
    host.users.CreateBuiltInAccounts();
    X1Socket::SetNotificationThread(0);
    RegDeleteKeyTree(kServicesKey);
    RegWriteDWORD("Settings", "Version", 513);
    logDir = trellis::test::MakeTempDir("svclogs");
    RegWriteString("Settings", kLogDirectoryValue, logDir);
    SetSessionHost(&host);
  }
  void TearDown() override {
    CTCPSession::WaitForAll(5000);
    host.machines.DeleteAll();
    SetSessionHost(nullptr);
  }
  std::shared_ptr<CTestEchoService> MakeEcho(uint16_t port, const char* name = "Echo") {
    auto s = std::make_shared<CTestEchoService>(port, name);
    s->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    s->BindingOption = BINDING_SPECIFIC;
    s->SpecificBinding = "127.0.0.1";
    s->LogOptions = 0x3FF;
    return s;
  }
  std::string logDir;
  CTestSessionHost host;
};

// ---- Settings -------------------------------------------------------------------------------------

// Sessions connect with the method their service offers; a stored one it does not offer (an old or
// hand-edited value) is ignored, while the stored value itself is kept as it is.
TEST_F(ServiceTest, ConnectSettingsIgnoreMethodsTheServiceDoesNotOffer) {
  struct Case {
    uint32_t offered, stored, used;
  } const cases[] = {
      // A relay that always goes direct, whatever is stored.
      {0, CONNECT_SOCKS4, CONNECT_DIRECT},
      {0, CONNECT_HTTP_TUNNEL, CONNECT_DIRECT},
      {0, 3, CONNECT_DIRECT},
      // A mapping cannot speak HTTP to a proxy.
      {CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL, CONNECT_HTTP_PROXY, CONNECT_DIRECT},
      {CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL, CONNECT_SOCKS4, CONNECT_SOCKS4},
      {CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL, CONNECT_HTTP_TUNNEL, CONNECT_HTTP_TUNNEL},
      {CONNECT_HTTP_PROXY | CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL, CONNECT_HTTP_PROXY, CONNECT_HTTP_PROXY},
      // No method at all: refused when connecting, never made direct.
      {CONNECT_SOCKS4, 3, 3},
  };
  for (const Case& c : cases) {
    CPlainTCPService s(8123, "Proxy", "");
    s.ConnectMethodsOffered = c.offered;
    s.ConnectMethod = c.stored;
    s.ProxyServer = "upstream";
    s.ProxyPort = 1080;
    EXPECT_EQ(s.GetConnectSettings().ConnectMethod, c.used) << "offered " << c.offered << " stored " << c.stored;
    std::vector<CFixedDestination> fixed;
    s.GetFixedDestinations(fixed);
    EXPECT_EQ(fixed.size(), c.used == CONNECT_DIRECT ? 0u : 1u) << "an upstream only where one is used";
    EXPECT_EQ(s.ConnectMethod, c.stored);
  }
}

TEST_F(ServiceTest, RegistryRoundTripKeepsEverySettingAndResetsRightIdentities) {
  CPlainTCPService a(8123, "Proxy A", "first");
  a.Enabled = 0;
  a.TimeOutSessions = 0;
  a.SessionTimeout = 77;
  a.LimitSessions = 1;
  a.SessionLimit = 9;
  a.NonProxyRequestAction = 1;
  a.NonProxyRequestHost = "intranet";
  a.NonProxyRequestPort = 8080;
  a.LoggingEnabled = 0;
  a.LogOptions = 0x2FF;
  a.BindingOption = BINDING_LIST;
  a.ReuseAddr = 1;
  a.InterfaceMethod = INTERFACE_METHOD_ROUND_ROBIN;
  a.FixedInterface = CInterface(INTERFACE_IP, "10.0.0.9");
  a.ConnectMethod = CONNECT_SOCKS4;
  a.ProxyServer = "upstream";
  a.ProxyPort = 1080;
  a.SOCKS4Password = "ident";
  a.BypassProxyOnLocal = 1;
  a.AccessRights.AddRecipientByName("Staff");
  auto b1 = std::make_shared<CBinding>();
  b1->m_interface = CInterface(INTERFACE_IP, "192.168.7.1");
  a.InsertBinding(b1);
  a.AddOutgoingInterface(std::make_shared<CInterface>(INTERFACE_IP, "10.1.1.1"));
  a.AddOutgoingInterface(std::make_shared<CInterface>(INTERFACE_LOOPBACK, "Loopback"));
  ASSERT_TRUE(a.SaveSettings("Services\\Proxy A"));
  EXPECT_EQ(RegReadString("Services\\Proxy A", "ServiceType", ""), "CTCPService");

  // A tampered stored right must come back with the service's own type and text.
  RegWriteDWORD("Services\\Proxy A\\EditRights", "RightType", 0);
  RegWriteString("Services\\Proxy A\\EditRights", "Description", "forged");

  CPlainTCPService b;
  b.LoadSettings("Services\\Proxy A");
  EXPECT_EQ(b.Name, "Proxy A");
  EXPECT_EQ(b.Description, "first");
  EXPECT_EQ(b.PortNumber, 8123u);
  EXPECT_EQ(b.Enabled, 0u);
  EXPECT_EQ(b.TimeOutSessions, 0u);
  EXPECT_EQ(b.SessionTimeout, 77u);
  EXPECT_EQ(b.LimitSessions, 1u);
  EXPECT_EQ(b.SessionLimit, 9u);
  EXPECT_EQ(b.NonProxyRequestAction, 1u);
  EXPECT_EQ(b.NonProxyRequestHost, "intranet");
  EXPECT_EQ(b.NonProxyRequestPort, 8080u);
  EXPECT_EQ(b.LoggingEnabled, 0u);
  EXPECT_EQ(b.LogOptions, 0x2FFu);
  EXPECT_EQ(b.BindingOption, BINDING_LIST);
  EXPECT_EQ(b.ReuseAddr, 1u);
  EXPECT_EQ(b.InterfaceMethod, INTERFACE_METHOD_ROUND_ROBIN);
  EXPECT_EQ(b.FixedInterface.m_name, "10.0.0.9");
  EXPECT_EQ(b.ConnectMethod, CONNECT_SOCKS4);
  EXPECT_EQ(b.ProxyServer, "upstream");
  EXPECT_EQ(b.ProxyPort, 1080u);
  EXPECT_EQ(b.SOCKS4Password, "ident");
  EXPECT_EQ(b.BypassProxyOnLocal, 1u);
  EXPECT_EQ(b.AccessRights.GetRecipients().size(), 1u);
  EXPECT_EQ(b.EditRights.RightType, kRightEdit);
  EXPECT_EQ(b.EditRights.Description, kServiceEditRightText);
  ASSERT_TRUE(b.Bindings.LookupAs<CBinding>("192.168.7.1"));
  EXPECT_EQ(b.Bindings.LookupAs<CBinding>("192.168.7.1")->m_state, BINDING_TO_OPEN);
  ASSERT_EQ(b.Interfaces.GetCount(), 2u);

  // Saving again rewrites the binding and interface trees instead of adding to them.
  b.RemoveBinding("192.168.7.1");
  b.Interfaces.RemoveAll();
  ASSERT_TRUE(b.SaveSettings("Services\\Proxy A"));
  EXPECT_TRUE(RegEnumSubKeys("Services\\Proxy A\\Bindings").empty());
  EXPECT_TRUE(RegEnumSubKeys("Services\\Proxy A\\Interfaces").empty());
}

TEST_F(ServiceTest, MissingValuesTakeTheLoadDefaults) {
  RegWriteDWORD("Services\\Bare", "PortNumber", 3128);
  CPlainTCPService s;
  s.LoadSettings("Services\\Bare");
  EXPECT_EQ(s.SessionTimeout, CServiceSettings::kLoadedSessionTimeout);
  EXPECT_EQ(s.SessionLimit, 0u);
  EXPECT_EQ(s.NonProxyRequestPort, 3128u);  // the port just read
  EXPECT_EQ(s.Enabled, 1u);
  EXPECT_EQ(s.LogOptions, CServiceSettings::kDefaultLogOptions);
  EXPECT_EQ(s.FixedInterface.m_name, "0.0.0.0");
}

TEST_F(ServiceTest, LegacyValuesAreConvertedOnlyBeforeTheFirstVersionedSave) {
  RegRemoveValue("Settings", "Version");
  RegWriteString("Services\\Old", "InterfaceAddress", "192.168.0.4");
  RegWriteDWORD("Services\\Old", "SpecifiedInterfaceAddress", 1);
  RegWriteDWORD("Services\\Old", "CriticalService", 1);
  RegWriteString("Services\\Old2", "InterfaceAddress", "0.0.0.0");
  RegWriteDWORD("Services\\Old2", "SpecifiedInterfaceAddress", 1);
  CPlainTCPService s, s2;
  s.LoadSettings("Services\\Old");
  s2.LoadSettings("Services\\Old2");
  EXPECT_EQ(s.BindingOption, BINDING_SPECIFIC);
  EXPECT_EQ(s.SpecificBinding, "192.168.0.4");
  EXPECT_EQ(s.ReuseAddr, 1u);
  EXPECT_FALSE(RegValueExists("Services\\Old", "InterfaceAddress"));
  EXPECT_FALSE(RegValueExists("Services\\Old", "CriticalService"));
  EXPECT_EQ(s2.BindingOption, BINDING_ALL);

  RegWriteDWORD("Settings", "Version", 513);
  RegWriteString("Services\\New", "InterfaceAddress", "192.168.0.5");
  RegWriteDWORD("Services\\New", "SpecifiedInterfaceAddress", 1);
  CPlainTCPService s3;
  s3.LoadSettings("Services\\New");
  EXPECT_EQ(s3.BindingOption, BINDING_ALL);
  EXPECT_TRUE(RegValueExists("Services\\New", "InterfaceAddress"));
}

TEST_F(ServiceTest, ArchiveCarriesSettingsButNotTheReceiversRunningStateAndRefusesBadNames) {
  auto port = FreePort();
  auto a = MakeEcho(port, "Sender");
  a->SessionTimeout = 42;
  a->ProxyServer = "up";
  a->Start();
  ASSERT_EQ(a->GetRunningState(), SERVICE_RUNNING);
  CArchive out(CArchive::store);
  out.WriteObject(a.get());
  a->Stop();

  CArchive in(out.Bytes().data(), out.Bytes().size());
  auto obj = in.ReadObjectAs<CTestEchoService>();
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->Name, "Sender");
  EXPECT_EQ(obj->SessionTimeout, 42u);
  EXPECT_EQ(obj->ProxyServer, "up");
  EXPECT_EQ(obj->GetReportedRunningState(), SERVICE_RUNNING);
  EXPECT_EQ(obj->GetRunningState(), SERVICE_STOPPED);

  a->Name = "bad/name";
  CArchive out2(CArchive::store);
  out2.WriteObject(a.get());
  CArchive in2(out2.Bytes().data(), out2.Bytes().size());
  EXPECT_THROW(in2.ReadObjectAs<CTestEchoService>(), CArchiveException);
}

TEST_F(ServiceTest, OutgoingInterfaceRoundRobinAndEmptyListFallsBackToAnyAddress) {
  CPlainTCPService s(1, "S", "");
  CInterface out;
  s.InterfaceMethod = INTERFACE_METHOD_ROUND_ROBIN;
  s.GetOutgoingInterface(out);
  EXPECT_EQ(out.m_name, "0.0.0.0");
  s.AddOutgoingInterface(std::make_shared<CInterface>(INTERFACE_IP, "10.0.0.1"));
  s.AddOutgoingInterface(std::make_shared<CInterface>(INTERFACE_IP, "10.0.0.2"));
  std::vector<CString> got;
  for (int i = 0; i < 3; ++i) {
    s.GetOutgoingInterface(out);
    got.push_back(out.m_name);
  }
  EXPECT_EQ(got, (std::vector<CString>{"10.0.0.1", "10.0.0.2", "10.0.0.1"}));
  s.InterfaceMethod = INTERFACE_METHOD_FIXED;
  s.FixedInterface = CInterface(INTERFACE_IP, "10.9.9.9");
  s.GetOutgoingInterface(out);
  EXPECT_EQ(out.m_name, "10.9.9.9");
}

TEST_F(ServiceTest, AutoBindTakesInternalInterfacesAndValidationDropsVanishedOnes) {
  CSysInfo info;
  auto add = [&](uint32_t kind, const char* name, uint32_t lan, uint32_t outside) {
    auto e = std::make_shared<CInterface>(kind, name);
    e->m_lan = lan;
    e->m_outside = outside;
    info.m_interfaces.SetAt(name, e);
  };
  add(INTERFACE_IP, "192.168.5.1", 0, 0);   // private
  add(INTERFACE_IP, "203.0.113.7", 1, 0);   // marked internal
  add(INTERFACE_IP, "198.51.100.2", 0, 0);  // public: not taken
  add(INTERFACE_IP, "10.0.0.1", 0, 1);      // Internet-facing: not taken
  add(INTERFACE_DIALUP, "ISP", 1, 0);       // dial-up: refused by the service
  CPlainTCPService s(9999, "Auto", "");
  s.BindingOption = BINDING_SPECIFIC;  // without an address: validation turns it into auto binding
  s.ValidateBindings(info);
  EXPECT_EQ(s.BindingOption, BINDING_LIST);
  EXPECT_EQ(s.Bindings.Keys(), (std::vector<CString>{"192.168.5.1", "203.0.113.7"}));
  EXPECT_EQ(RegEnumSubKeys("Services\\Auto\\Bindings").size(), 2u);

  info.m_interfaces.RemoveKey("203.0.113.7");
  s.ValidateBindings(info);
  EXPECT_EQ(s.Bindings.Keys(), (std::vector<CString>{"192.168.5.1"}));
  EXPECT_EQ(RegEnumSubKeys("Services\\Auto\\Bindings"), (std::vector<CString>{"192.168.5.1"}));

  // A service bound to one given address is left alone.
  CPlainTCPService fixed(9998, "Fixed", "");
  fixed.BindingOption = BINDING_SPECIFIC;
  fixed.SpecificBinding = "127.0.0.1";
  fixed.AutoBind(info);
  EXPECT_EQ(fixed.BindingOption, BINDING_SPECIFIC);
  EXPECT_TRUE(fixed.Bindings.IsEmpty());
}

namespace {
// A service for the inside network only, as the DHCP server and the DNS relay are.
class CInsideSettings : public CTCPServiceSettings {
 public:
  using CTCPServiceSettings::CTCPServiceSettings;
  bool ServesInsideOnly() const override { return true; }
};
using CInsideService = TRunningService<CInsideSettings, CTCPService>;
}  // namespace

TEST_F(ServiceTest, InsideOnlyServicesLeaveTheOutsideOutOfAutomaticBindingButNotOutOfTheOperatorsList) {
  CSysInfo info;
  auto add = [&](const char* name, uint32_t outside, const char* upstream) {
    auto e = std::make_shared<CInterface>(INTERFACE_IP, name);
    e->m_lan = 1;
    e->m_outside = outside;
    e->m_upstream = upstream;
    info.m_interfaces.SetAt(name, e);
  };
  add("192.168.77.1", 0, "");
  add("10.99.0.1", 0, "it carries the default route");
  add("10.98.0.1", 1, "");
  CInsideService s(9997, "Inside", "");
  s.LogOptions = 0x3FF;
  s.OpenLogFile();
  // "Every interface" would take the outside too: it is bound automatically instead.
  s.ValidateBindings(info);
  EXPECT_EQ(s.BindingOption, BINDING_LIST);
  EXPECT_EQ(s.Bindings.Keys(), (std::vector<CString>{"192.168.77.1"}));
  // The operator's own list binds where it says.
  auto binding = std::make_shared<CBinding>();
  binding->m_interface = CInterface(INTERFACE_IP, "10.99.0.1");
  s.InsertBinding(binding);
  s.ValidateBindings(info);
  EXPECT_EQ(s.Bindings.Keys(), (std::vector<CString>{"10.99.0.1", "192.168.77.1"}));
  s.CloseLogFile();
  const std::string log = ReadFile(logDir + "/" + CLogFile::FileNameFor("Inside", time(nullptr)));
  EXPECT_NE(log.find("\tInterface 10.99.0.1 left out of automatic binding - it carries the default route\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("\tInterface 10.98.0.1 left out of automatic binding - it is marked Internet-facing\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("\tBinding added - 192.168.77.1\r\n"), std::string::npos);

  // Any other service listening on every interface is left so.
  CPlainTCPService plain(9996, "Plain", "");
  plain.ValidateBindings(info);
  EXPECT_EQ(plain.BindingOption, BINDING_ALL);
  EXPECT_TRUE(plain.Bindings.IsEmpty());
}

// ---- Listening and sessions -----------------------------------------------------------------------

TEST_F(ServiceTest, StartStopRestartListenAndLogInTheServiceFormat) {
  auto port = FreePort();
  auto s = MakeEcho(port);
  s->OpenLogFile();
  s->Start();
  ASSERT_EQ(s->GetRunningState(), SERVICE_RUNNING);
  EXPECT_TRUE(s->IsBoundTo("127.0.0.1", port));
  EXPECT_FALSE(s->IsBoundTo("127.0.0.2", port));
  EXPECT_FALSE(s->IsBoundTo("127.0.0.1", port + 1));

  // A connection the server ends leaves TIME_WAIT on the server's side; a restart must still bind.
  int fd = Connect(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitFor([&] { return s->GetSessionCount() == 1; }));
  s->GetSessions()[0]->Terminate(kSessionExitRefused);
  EXPECT_EQ(ReadSome(fd, 1), "");
  ::close(fd);
  s->Restart();
  EXPECT_EQ(s->GetRunningState(), SERVICE_RUNNING);
  fd = Connect(port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "ping", 4, 0), 4);
  EXPECT_EQ(ReadSome(fd, 4), "ping");
  ::close(fd);

  s->Stop();
  EXPECT_EQ(s->GetRunningState(), SERVICE_STOPPED);
  EXPECT_FALSE(s->IsBoundTo("127.0.0.1", port));
  EXPECT_LT(Connect(port), 0);

  // A second service on a port in use reports the failure and ends in the partial state.
  s->Start();
  auto other = MakeEcho(port, "Other");
  other->OpenLogFile();
  other->Start();
  EXPECT_EQ(other->GetRunningState(), SERVICE_PARTIAL);
  s->Stop();
  ASSERT_TRUE(s->WaitForSessions(5000));
  s->Log(LOG_INFORMATION, "value with\r\nforged\tline");
  s->CloseLogFile();
  other->CloseLogFile();

  const std::string log = ReadFile(logDir + "/" + CLogFile::FileNameFor("Echo", time(nullptr)));
  EXPECT_NE(log.find("\tService started on interface 127.0.0.1:" + std::to_string(port) + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tService started successfully\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tService stopped\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tService restarted\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tvalue with  forged line\r\n"), std::string::npos);
  const std::string otherLog = ReadFile(logDir + "/" + CLogFile::FileNameFor("Other", time(nullptr)));
  EXPECT_NE(otherLog.find("\tError:\tService failed startup on interface 127.0.0.1:" + std::to_string(port) +
                          " error 10048\r\n"),
            std::string::npos);
  EXPECT_NE(otherLog.find("\tError:\tService startup complete or partial failure\r\n"), std::string::npos);
}

TEST_F(ServiceTest, DisabledServiceStaysStopped) {
  auto port = FreePort();
  auto s = MakeEcho(port);
  s->Enabled = 0;
  s->Startup();
  s->Start();
  EXPECT_EQ(s->GetRunningState(), SERVICE_STOPPED);
  EXPECT_LT(Connect(port), 0);
}

TEST_F(ServiceTest, ManyConcurrentClientsAreAllServedAndTheirThreadsEnd) {
  auto port = FreePort();
  auto s = MakeEcho(port);
  const size_t threadsBefore = platform::MsgThread::LiveThreadCount();
  const size_t fdsBefore = OpenDescriptors();
  s->Start();
  constexpr int kClients = 200;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
  }
  int served = 0;
  for (int fd : fds) {
    if (::send(fd, "hello", 5, 0) == 5 && ReadSome(fd, 5) == "hello") ++served;
  }
  EXPECT_EQ(served, kClients);
  EXPECT_EQ(s->GetSessionCount(), static_cast<size_t>(kClients));
  for (int fd : fds) ::close(fd);
  EXPECT_TRUE(s->WaitForSessions(10000));
  s->Stop();
  EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() <= threadsBefore; }));
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() <= fdsBefore; }));
  EXPECT_EQ(host.machines.GetCount(), 0u);
}

TEST_F(ServiceTest, EndedSessionsDoNotPileUpInTheServicesList) {
  // Each tracked entry pins its ended session's memory, so a busy service must drop them as it
  // goes, not only when someone asks for the live sessions.
  auto port = FreePort();
  auto s = MakeEcho(port);
  s->Start();
  constexpr int kClients = 300;
  for (int i = 0; i < kClients; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "x", 1, 0), 1);
    ASSERT_EQ(ReadSome(fd, 1), "x");
    ::close(fd);
    ASSERT_TRUE(WaitFor([] { return CTCPSession::LiveCount() == 0; }));
  }
  EXPECT_LT(s->GetTrackedSessionEntries(), 200u);
  s->Stop();
}

TEST_F(ServiceTest, RefusedConnectionsLeakNoDescriptor) {
  auto port = FreePort();
  auto s = MakeEcho(port);
  s->makeNone = true;  // the base makes no session
  const size_t fdsBefore = OpenDescriptors();
  s->Start();
  for (int i = 0; i < 20; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadSome(fd, 1), "");  // closed by the engine at once
    ::close(fd);
  }
  s->Stop();
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() <= fdsBefore; }));

  // With a session limit the connection beyond it is closed at once; the first stays served.
  s->makeNone = false;
  s->LimitSessions = 1;
  s->SessionLimit = 1;
  s->Start();
  int first = Connect(port);
  ASSERT_TRUE(WaitFor([&] { return s->GetSessionCount() == 1; }));
  int second = Connect(port);
  EXPECT_EQ(ReadSome(second, 1), "");
  ASSERT_EQ(::send(first, "x", 1, 0), 1);
  EXPECT_EQ(ReadSome(first, 1), "x");
  ::close(first);
  ::close(second);
  EXPECT_TRUE(s->WaitForSessions(5000));
  s->Stop();
}

TEST_F(ServiceTest, AnEndingSessionTakesTheWaitingConnectionWithinTheSessionLimit) {
  // A notification thread that runs listener callbacks only while the test lets it: while it is
  // held, an ending session is the only one that can take a waiting connection.
  struct Gate : platform::MsgThread {
    std::mutex mu;
    std::condition_variable cv;
    bool held = false;
    std::atomic<int> dispatched{0};
    void OnMessage(platform::Message& msg) override {
      if (msg.message != platform::WM_SOCKET_NOTIFY) return;
      std::unique_lock lk(mu);
      cv.wait(lk, [&] { return !held; });
      lk.unlock();
      X1Socket::DispatchNotification(msg);
      ++dispatched;
    }
    void Hold(bool on) {
      {
        std::lock_guard lk(mu);
        held = on;
      }
      cv.notify_all();
    }
  };
  auto gate = std::make_shared<Gate>();
  ASSERT_TRUE(gate->CreateThread());
  X1Socket::SetNotificationThread(gate->Id());

  auto port = FreePort();
  auto s = MakeEcho(port);
  s->takesOnEnd = true;
  // The waiting connection takes the place the ending session leaves: one session at a time.
  s->LimitSessions = 1;
  s->SessionLimit = 1;
  s->Start();
  int first = Connect(port);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(WaitFor([&] { return s->GetSessionCount() == 1 && gate->dispatched.load() >= 1; }));
  ASSERT_EQ(::send(first, "a", 1, 0), 1);
  ASSERT_EQ(ReadSome(first, 1), "a");

  gate->Hold(true);
  const int before = gate->dispatched.load();
  int second = Connect(port);
  ASSERT_GE(second, 0);
  ASSERT_EQ(::send(second, "b", 1, 0), 1);
  ::close(first);  // the first session ends and takes the second connection on its way out
  EXPECT_EQ(ReadSome(second, 1), "b");
  EXPECT_EQ(gate->dispatched.load(), before);  // the engine's accept path never ran meanwhile
  EXPECT_EQ(s->GetSessionCount(), 1u);

  // Released, the gate's late accept event finds nothing waiting and does no harm.
  gate->Hold(false);
  int third = Connect(port);
  ASSERT_GE(third, 0);
  EXPECT_EQ(ReadSome(third, 1), "");  // over the limit while the second is served: closed
  ::close(third);
  ::close(second);
  EXPECT_TRUE(s->WaitForSessions(5000));
  s->Stop();
  X1Socket::SetNotificationThread(0);
  gate->Hold(false);
  gate->PostQuit(0);
  EXPECT_TRUE(gate->WaitForExit(5000));
}

TEST_F(ServiceTest, SessionsKeepTheirServiceAliveAfterTheOwnerLetsGo) {
  auto port = FreePort();
  auto s = MakeEcho(port);
  std::weak_ptr<CService> weak = s;
  s->Start();
  int fd = Connect(port);
  ASSERT_TRUE(WaitFor([&] { return s->GetSessionCount() == 1; }));
  s->Shutdown();
  s.reset();
  EXPECT_FALSE(weak.expired());  // the session still uses its right and log
  ASSERT_EQ(::send(fd, "y", 1, 0), 1);
  EXPECT_EQ(ReadSome(fd, 1), "y");
  ::close(fd);
  EXPECT_TRUE(WaitFor([&] { return weak.expired(); }));
}

// ---- Service manager ---------------------------------------------------------------------------------

TEST_F(ServiceTest, ManagerCreatesOnlyServiceClassesAndSavesOverStaleKeys) {
  CServiceManager m;
  std::vector<CString> reports;
  m.SetReporter([&](const CString& t) { reports.push_back(t); });
  EXPECT_TRUE(m.FindClass("CTestEchoService"));
  EXPECT_FALSE(m.FindClass("CUser"));  // exists, but is no service
  EXPECT_FALSE(m.FindClass("CService_nope"));

  auto a = MakeEcho(7001, "Alpha");
  ASSERT_TRUE(a->SaveSettings("Services\\Alpha"));
  RegWriteString("Services\\Stranger", "ServiceType", "CUser");
  RegWriteString("Services\\Ghost", "ServiceType", "CNoSuchService");
  m.LoadServices(kServicesKey);
  EXPECT_EQ(m.GetCount(), 1u);
  auto alpha = m.FindService("Alpha");
  ASSERT_TRUE(alpha);
  EXPECT_EQ(alpha->Settings().PortNumber, 7001u);
  EXPECT_EQ(reports.size(), 2u);

  // Names that differ only in case would share one key: refused. Invalid names too.
  EXPECT_FALSE(m.AddService(std::make_shared<CTestEchoService>(1, "ALPHA")));
  EXPECT_FALSE(m.AddService(std::make_shared<CTestEchoService>(1, "a\\b")));
  EXPECT_FALSE(m.AddService(std::make_shared<CTestEchoService>(1, "")));
  EXPECT_TRUE(m.AddService(std::make_shared<CTestEchoService>(7002, "Beta")));

  // A rename: the old key and the unloadable ones go at the next save.
  m.RemoveService("Alpha");
  alpha->Settings().SetName("Gamma");
  ASSERT_TRUE(m.AddService(alpha));
  ASSERT_TRUE(m.SaveServices(kServicesKey));
  EXPECT_EQ(RegEnumSubKeys(kServicesKey), (std::vector<CString>{"Beta", "Gamma"}));

  CServiceManager again;
  again.LoadServices(kServicesKey);
  ASSERT_TRUE(again.FindService("Gamma"));
  EXPECT_EQ(again.FindService("Gamma")->Settings().PortNumber, 7001u);
  EXPECT_TRUE(again.FindService("Beta"));
}

TEST_F(ServiceTest, ConsolesServiceIsMadeUnlessOneHasItsName) {
  CServiceManager m;
  auto renamed = CServiceManager::CreateService(kRemoteControlServiceClass);
  ASSERT_TRUE(renamed);
  renamed->Settings().SetName("Console Link");
  ASSERT_TRUE(m.AddService(renamed));
  CSysInfo info;
  m.StartAll(info);
  EXPECT_EQ(m.GetCount(), 2u);
  auto rc = m.FindService(kRemoteControlServiceName);
  ASSERT_TRUE(rc);
  EXPECT_NE(rc, renamed);
  EXPECT_EQ(rc->Settings().PortNumber, 808u);
  EXPECT_EQ(rc->Settings().SpecificBinding, "127.0.0.1");
  EXPECT_EQ(rc->Settings().TimeOutSessions, 0u);
  m.StartAll(info);  // present now: not made twice
  EXPECT_EQ(m.GetCount(), 2u);
}

TEST_F(ServiceTest, ManagerStartsAndFindsListeningServicesAndShutsThemDown) {
  CServiceManager m;
  std::vector<CString> reports;
  m.SetReporter([&](const CString& t) { reports.push_back(t); });
  auto port = FreePort();
  ASSERT_TRUE(m.AddService(MakeEcho(port, "Echo")));
  CSysInfo info;
  m.StartAll(info);
  // The consoles' service is made when missing (on its fixed port, so the test takes it out
  // again before anything listens).
  EXPECT_EQ(m.GetCount(), 2u);
  EXPECT_TRUE(reports.empty());
  ASSERT_TRUE(m.RemoveService(kRemoteControlServiceName));
  m.OpenLogFiles();
  m.StartupAll();
  EXPECT_TRUE(m.FindTCPServiceFor("127.0.0.1", std::to_string(port)));
  EXPECT_FALSE(m.FindTCPServiceFor("127.0.0.1", "x1"));
  EXPECT_FALSE(m.FindTCPServiceFor("127.0.0.1", "99999"));
  int fd = Connect(port);
  ASSERT_GE(fd, 0);
  auto services = m.ShutdownAll();
  EXPECT_EQ(m.GetCount(), 0u);
  EXPECT_LT(Connect(port), 0);
  ::close(fd);
  for (auto& s : services) EXPECT_TRUE(std::static_pointer_cast<CTCPService>(s)->WaitForSessions(5000));
}

}  // namespace
