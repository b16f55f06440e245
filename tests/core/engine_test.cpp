// The engine object against real sockets on loopback: first run, listeners and session threads,
// idle time-outs through the machine table, a stop with sessions open, configuration carried from
// one run to the next, the housekeeping timer's rules and the lease tables.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/config/reg_helpers.h"
#include "engine/access/user.h"
#include "engine/core/dhcp_lease.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/core/service.h"
#include "engine/core/service_manager.h"
#include "engine/core/session.h"
#include "engine/net/socket_exception.h"
#include "engine/net/x1_socket.h"
#include "engine/proxy/www/www_settings.h"
#include "tests/support/engine_fixture.h"

namespace {

using namespace std::chrono_literals;
using trellis::test::Connect;
using trellis::test::CTestEchoService;
using trellis::test::FreePort;
using trellis::test::OpenDescriptors;
using trellis::test::ReadToEnd;
using trellis::test::ServerClosed;
using trellis::test::WaitFor;

std::shared_ptr<CUser> MakeUser(const char* name) { return std::make_shared<CUser>(name, "", "", ""); }

void ClearRegistry() {
  for (const auto& key : RegEnumSubKeys(nullptr)) RegDeleteKeyTree(key);
}

void StoreEchoService(const char* name, uint16_t port, uint32_t timeoutSeconds) {
  CTestEchoService s;
  s.SetName(name);
  s.PortNumber = port;
  s.SessionTimeout = timeoutSeconds;
  ASSERT_TRUE(s.SaveSettings(CString(kServicesKey) + "\\" + name));
}

// Stores the user and a location that names it as the assumed user of address.
void StoreAssumedUser(const char* address, const char* user) {
  CGroupMemberDatabase users;
  users.Add(MakeUser(user));
  CLocationArray locations;
  locations.Add(std::make_shared<CLocation>(address, user));
  ASSERT_TRUE(locations.Save(kLocationsKey));
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    X1Socket::InitNotifier();
    ClearRegistry();
    threadsAtStart_ = platform::MsgThread::LiveThreadCount();
  }
  void TearDown() override {
    if (engine) Stop();
    SetTheEngine(nullptr);
    // Threads end a little after the objects that waited for them; the next test counts threads,
    // so this one's must be gone first (and none may be left behind).
    EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() <= threadsAtStart_; }, 10000));
  }

  void Start() {
    engine = std::make_shared<CTrellisEngine>();
    SetTheEngine(engine);
    ASSERT_TRUE(engine->CreateThread());
    ASSERT_TRUE(WaitFor([&] { return engine->GetTimerId() != 0; }, 10000)) << "engine start-up did not finish";
  }
  void Stop() {
    engine->Shutdown(0);
    EXPECT_TRUE(engine->WaitForExit(15000));
    engine.reset();
  }

  std::shared_ptr<CTrellisEngine> engine;
  size_t threadsAtStart_ = 0;
};

// ---- First run, listeners, sessions and machines ------------------------------------------------

TEST_F(EngineTest, FirstRunCreatesAndSavesServicesAndDeletesSetup) {
  uint16_t port = FreePort();
  RegWriteDWORD("Setup", "Mode", 1);
  RegWriteDWORD("Setup", "InstallWWW", 1);
  RegWriteDWORD("Setup", "WWWProxyPort", port);
  RegWriteString("Setup", "InternalWWWServer", "");
  RegWriteDWORD("Setup", "InstallVDOLive", 1);
  Start();

  EXPECT_FALSE(RegKeyExists("Setup"));
  EXPECT_EQ(RegReadString("Services\\WWW Proxy server", "ServiceType", ""), "CWWWService");
  EXPECT_EQ(RegReadDWORD("Services\\WWW Proxy server", "PortNumber", 0), port);
  // Non-proxy requests go to the internal server, named or not (its port defaults to 80).
  EXPECT_EQ(RegReadDWORD("Services\\WWW Proxy server", "NonProxyRequestAction", 9), 1u);
  EXPECT_EQ(RegReadString("Services\\WWW Proxy server", "NonProxyRequestHost", "x"), "");
  EXPECT_EQ(RegReadDWORD("Services\\WWW Proxy server", "NonProxyRequestPort", 0), 80u);
  // The relay asked for beside it, under the name its class gives its first-run service.
  const std::vector<CString> services = RegEnumSubKeys("Services");
  ASSERT_EQ(services.size(), 2u);
  const CString relay = services[0] == "WWW Proxy server" ? services[1] : services[0];
  EXPECT_EQ(RegReadString("Services\\" + relay, "ServiceType", ""), "CVDOLiveService");

  // The first-run service is the real web proxy: a request line of garbage gets its error page.
  int fd = Connect(port);
  ASSERT_GE(fd, 0) << "the first-run service is not listening";
  const char garbage[] = "hi there\r\n\r\n";
  ASSERT_EQ(send(fd, garbage, sizeof garbage - 1, 0), static_cast<ssize_t>(sizeof garbage - 1));
  const std::string reply = ReadToEnd(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.0 400 ", 0), 0u) << reply;
  close(fd);
}

TEST_F(EngineTest, UpgradeKeepsStoredServicesAndAddsOnlyTheAskedFor) {
  StoreEchoService("Echo", FreePort(), 77);
  RegWriteDWORD("Setup", "Mode", 2);
  RegWriteDWORD("Setup", "InstallLogServer", 1);
  RegWriteDWORD("Setup", "InstallWWW", 1);  // a first-run value: no effect on an upgrade
  CTrellisEngine upgraded;
  upgraded.LoadConfiguration();
  EXPECT_EQ(RegReadDWORD("Setup", "Mode", 9), 0u) << "the mode acts once";
  auto echo = upgraded.GetServiceManager().FindService("Echo");
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->Settings().SessionTimeout, 77u);
  auto logs = upgraded.GetServiceManager().FindService("Logfile Server");
  ASSERT_TRUE(logs);
  EXPECT_EQ(logs->Settings().PortNumber, 8010u);
  EXPECT_EQ(logs->Settings().NonProxyRequestAction, 3u);
  EXPECT_EQ(logs->Settings().NonProxyRequestPort, 8010u);
  auto* www = dynamic_cast<CWWWServiceSettings*>(&logs->Settings());
  ASSERT_TRUE(www);
  EXPECT_EQ(www->DefaultFilename, "index.htm");
  EXPECT_FALSE(upgraded.GetServiceManager().FindService("WWW Proxy server"));
  EXPECT_EQ(RegEnumSubKeys("Services").size(), 2u);
}

TEST_F(EngineTest, IdleClientIsCutOffAndItsMachineGoes) {
  uint16_t port = FreePort();
  StoreEchoService("Echo", port, 1);
  // A location names an assumed user for 127.0.0.2.
  ASSERT_NO_FATAL_FAILURE(StoreAssumedUser("127.0.0.2", "alice"));
  Start();

  int guest = Connect(port, "127.0.0.1");
  int assumed = Connect(port, "127.0.0.2");
  ASSERT_GE(guest, 0);
  ASSERT_GE(assumed, 0);
  CMachineMap& machines = engine->GetMachineMap();
  ASSERT_TRUE(WaitFor([&] { return machines.GetCount() == 2; }, 30000));
  auto m1 = machines.Find("127.0.0.1");
  auto m2 = machines.Find("127.0.0.2");
  ASSERT_TRUE(m1 && m2);
  EXPECT_EQ(m1->GetUserName(), "Guest");
  EXPECT_EQ(m1->GetSecurityLevel(), 0u);
  EXPECT_EQ(m2->GetUserName(), "alice");
  EXPECT_EQ(m2->GetSecurityLevel(), 1u);
  m1.reset();
  m2.reset();

  // Idle for the one-second time-out: the engine's pass ends both sessions and their machines.
  EXPECT_TRUE(ServerClosed(guest));
  EXPECT_TRUE(ServerClosed(assumed));
  EXPECT_TRUE(WaitFor([&] { return machines.GetCount() == 0; }, 30000));
  EXPECT_TRUE(CTCPSession::WaitForAll(30000));
  close(guest);
  close(assumed);
}

TEST_F(EngineTest, DeletingAUserEndsTheSessionsOfItsMachines) {
  uint16_t port = FreePort();
  StoreEchoService("Echo", port, 600);
  ASSERT_NO_FATAL_FAILURE(StoreAssumedUser("127.0.0.3", "bob"));
  Start();
  int a = Connect(port, "127.0.0.3");
  int b = Connect(port, "127.0.0.3");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_TRUE(WaitFor([&] { return CTCPSession::LiveCount() == 2; }, 30000));
  // A session thread joins its machine a moment after it starts.
  ASSERT_TRUE(WaitFor(
      [&] {
        auto m = engine->GetMachineMap().Find("127.0.0.3");
        return m && m->GetSessionCount() == 2u;
      },
      30000));

  EXPECT_TRUE(engine->DeleteUser("bob"));
  EXPECT_FALSE(engine->FindUser("bob", 0));
  EXPECT_TRUE(ServerClosed(a));
  EXPECT_TRUE(ServerClosed(b));
  EXPECT_TRUE(WaitFor([&] { return engine->GetMachineMap().GetCount() == 0; }, 30000));
  EXPECT_TRUE(engine->GetLocations().FindByAddress("127.0.0.3").empty());
  close(a);
  close(b);
}

TEST_F(EngineTest, StopWithFiftyIdleSessionsLeavesNothingBehind) {
  uint16_t port = FreePort();
  StoreEchoService("Echo", port, 600);
  RegReadDWORD("Settings", "Version", 0);  // the store is open before counting descriptors
  size_t threadsBefore = platform::MsgThread::LiveThreadCount();
  size_t fdsBefore = OpenDescriptors();
  Start();

  std::vector<int> clients;
  for (int i = 0; i < 50; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
  }
  ASSERT_TRUE(WaitFor([&] { return CTCPSession::LiveCount() == 50; }, 10000));

  auto begin = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 60s);  // not the sessions' 600 s idle time-out
  for (int fd : clients) {
    EXPECT_TRUE(ServerClosed(fd));
    close(fd);
  }
  EXPECT_EQ(CTCPSession::LiveCount(), 0u);
  EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() == threadsBefore; }, 30000))
      << platform::MsgThread::LiveThreadCount() << " threads, " << threadsBefore << " before";
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == fdsBefore; }, 30000))
      << OpenDescriptors() << " descriptors, " << fdsBefore << " before";
}

// ---- Configuration from one run to the next ----------------------------------------------------

TEST_F(EngineTest, ConfigurationWrittenByOneRunIsReadByTheNext) {
  uint16_t port = FreePort();
  StoreEchoService("Echo", port, 45);
  RegWriteDWORD("Settings", "DownstreamSOCKSConnectTimeout", 12345);
  Start();
  // Empty rights got their texts and recipients at start-up.
  CRight* shutdownRight = engine->GetRight(10);
  ASSERT_TRUE(shutdownRight);
  EXPECT_EQ(shutdownRight->Description, "Users can shutdown Trellis");
  ASSERT_EQ(shutdownRight->GetRecipients().size(), 1u);
  EXPECT_EQ(shutdownRight->GetRecipients()[0]->UserName, "Administrators");
  engine->Users().Add(MakeUser("carol"));
  engine->GetMachineNameMap().SetAt("CAROLPC", "carol");
  EXPECT_TRUE(engine->SaveConfiguration());
  Stop();

  // After the stop nothing more is written: the emptied tables must not reach the store.
  EXPECT_TRUE(RegKeyExists("UserDatabase\\carol"));
  EXPECT_TRUE(RegKeyExists("Services\\Echo"));

  Start();
  EXPECT_EQ(engine->GetDownstreamSOCKSConnectTimeout(), 12345u);
  EXPECT_EQ(RegReadDWORD("Settings", "Version", 0), 513u);
  CString user;
  EXPECT_TRUE(engine->GetMachineNameMap().Lookup("CAROLPC", user));
  EXPECT_EQ(user, "carol");
  EXPECT_TRUE(engine->FindUser("carol", 0));
  EXPECT_TRUE(engine->FindUser("Administrators", 1));
  auto service = engine->GetServiceManager().FindService("Echo");
  ASSERT_TRUE(service);
  EXPECT_EQ(service->Settings().SessionTimeout, 45u);
  EXPECT_EQ(engine->GetRight(0)->Description, "Users can access services");
  EXPECT_EQ(engine->GetRight(0)->GetRecipients().at(0)->UserName, "Everyone");
}

TEST_F(EngineTest, ShutdownIsOneShotAndLaterSavesWriteNothing) {
  Start();
  // Only the engine's own stop ends its thread; a stray quit is ignored.
  engine->PostQuit(0);
  EXPECT_FALSE(engine->WaitForExit(500));
  engine->Shutdown(0);
  engine->Shutdown(0);  // the same thread again: returns at once instead of tearing down twice
  EXPECT_TRUE(engine->IsShuttingDown());
  EXPECT_FALSE(engine->SaveConfiguration());
  EXPECT_FALSE(RegKeyExists("SystemRights"));  // written only by a save
  // A stop from another thread while the first is over returns as well.
  std::thread other([&] { engine->Shutdown(0); });
  other.join();
  EXPECT_TRUE(engine->WaitForExit(10000));
  engine.reset();
}

// ---- Timer ---------------------------------------------------------------------------------------

TEST(EngineTimerTest, SpacingLeasePassAndAccountingSave) {
  ClearRegistry();
  CTrellisEngine engine;
  uint64_t now = 100000;
  engine.SetTickSource([&] { return now; });

  auto stale = std::make_shared<CDHCPLease>("10.0.0.5", 1, "PC5", "0A0B0C0D0E0F", 1, CDHCPLease::kOffered);
  stale->TimeStamp = 1000;
  auto bound = std::make_shared<CDHCPLease>("10.0.0.6", 1, "PC6", "0A0B0C0D0E10", 1, CDHCPLease::kBound);
  bound->TimeStamp = 1000;
  ASSERT_TRUE(bound->Save("DHCP\\Leases\\10.0.0.6"));
  engine.AddLease(stale);
  engine.AddLease(bound);
  auto carol = MakeUser("carol");
  engine.Users().Add(carol);
  carol->ClientSendTraffic = 4321;

  engine.OnTimer(CTrellisEngine::kTimerId + 1);  // not the engine's timer
  EXPECT_EQ(engine.GetPassCount(), 0u);
  engine.OnTimer(CTrellisEngine::kTimerId);
  EXPECT_EQ(engine.GetPassCount(), 1u);
  // The first pass runs the lease pass.
  EXPECT_EQ(stale->ClientStatus, uint32_t{CDHCPLease::kOfferLapsed});
  EXPECT_EQ(bound->ClientStatus, uint32_t{CDHCPLease::kReleased});
  EXPECT_FALSE(RegKeyExists("DHCP\\Leases\\10.0.0.6"));

  now += 600;
  engine.OnTimer(CTrellisEngine::kTimerId);
  EXPECT_EQ(engine.GetPassCount(), 1u) << "a tick 600 ms after the last pass is skipped";

  auto later = std::make_shared<CDHCPLease>("10.0.0.7", 1, "", "", 1, CDHCPLease::kOffered);
  later->TimeStamp = 1000;
  engine.AddLease(later);
  for (int pass = 2; pass <= 60; ++pass) {
    now += 2000;
    engine.OnTimer(CTrellisEngine::kTimerId);
    if (pass == 30) {
      EXPECT_EQ(later->ClientStatus, uint32_t{CDHCPLease::kOffered}) << "no lease pass before the 31st";
    }
    if (pass == 31) {
      EXPECT_EQ(later->ClientStatus, uint32_t{CDHCPLease::kOfferLapsed});
    }
    if (pass == 59) {
      EXPECT_NE(RegReadDWORD("UserDatabase\\carol", "ClientSendTraffic", 0), 4321u);
    }
  }
  EXPECT_EQ(engine.GetPassCount(), 60u);
  EXPECT_EQ(RegReadDWORD("UserDatabase\\carol", "ClientSendTraffic", 0), 4321u);
}

// The lease pass drops expired leases' keys after it has let go of the table: a client renewing in
// between keeps its key (and so its address over a restart), and an address that has gone to a
// newer lease meanwhile keeps that lease's key.
TEST(EngineTimerTest, ALeaseRenewedOrReplacedDuringTheLeasePassKeepsItsKey) {
  ClearRegistry();
  CTrellisEngine engine;
  auto expired = [&](const char* address, const char* mac) {
    auto lease = std::make_shared<CDHCPLease>(address, 1, "", mac, 60, CDHCPLease::kBound);
    lease->TimeStamp = 1000;
    EXPECT_TRUE(lease->Save(CString("DHCP\\Leases\\") + address));
    engine.AddLease(lease);
    return lease;
  };
  auto renewed = expired("10.0.0.8", "0A0B0C0D0E11");
  expired("10.0.0.9", "0A0B0C0D0E12");
  expired("10.0.0.10", "0A0B0C0D0E13");
  engine.SetLeasePassHook([&] {
    // What a bind does: under the lease's lock, bound again, renewed, saved.
    {
      CLockGuard g(*renewed);
      renewed->ClientStatus = CDHCPLease::kBound;
      renewed->Renew();
      ASSERT_TRUE(renewed->Save("DHCP\\Leases\\10.0.0.8"));
    }
    // 10.0.0.9 is taken back and goes to another client, who binds it.
    engine.RemoveLease("10.0.0.9");
    auto other = std::make_shared<CDHCPLease>("10.0.0.9", 1, "", "0A0B0C0D0E99", 60, CDHCPLease::kBound);
    engine.AddLease(other);
    ASSERT_TRUE(other->Save("DHCP\\Leases\\10.0.0.9"));
  });
  engine.OnTimer(CTrellisEngine::kTimerId);
  ASSERT_EQ(engine.GetPassCount(), 1u);

  // What a restart loads.
  CDHCPLease loaded;
  ASSERT_TRUE(loaded.Load("DHCP\\Leases\\10.0.0.8")) << "the renewed lease lost its key";
  EXPECT_EQ(loaded.ClientStatus, uint32_t{CDHCPLease::kBound});
  EXPECT_EQ(loaded.MACAddress, "0A0B0C0D0E11");
  ASSERT_TRUE(loaded.Load("DHCP\\Leases\\10.0.0.9")) << "the newer lease of the address lost its key";
  EXPECT_EQ(loaded.MACAddress, "0A0B0C0D0E99");
  EXPECT_FALSE(RegKeyExists("DHCP\\Leases\\10.0.0.10")) << "an expired lease nobody renewed keeps its key";
}

TEST(EngineLeaseTest, RemovingAScopesLeasesLeavesOtherScopes) {
  ClearRegistry();
  CTrellisEngine engine;
  for (auto [address, scope] : {std::pair{"10.0.0.5", 3u}, {"10.0.0.6", 3u}, {"10.0.1.5", 4u}}) {
    auto lease = std::make_shared<CDHCPLease>(address, scope, "", "", 600, CDHCPLease::kBound);
    ASSERT_TRUE(lease->Save(CString("DHCP\\Leases\\") + address));
    engine.AddLease(lease);
  }
  EXPECT_EQ(engine.RemoveLeasesOfScope(3), 2u);
  EXPECT_FALSE(engine.FindLease("10.0.0.5"));
  EXPECT_FALSE(RegKeyExists("DHCP\\Leases\\10.0.0.6"));
  EXPECT_TRUE(engine.FindLease("10.0.1.5"));
  EXPECT_TRUE(RegKeyExists("DHCP\\Leases\\10.0.1.5"));
}

// ---- Leases and lookups ----------------------------------------------------------------------------

TEST(EngineLeaseTest, TablesStayConsistent) {
  ClearRegistry();
  CTrellisEngine engine;
  auto a = std::make_shared<CDHCPLease>("10.0.0.5", 1, "pc-a", "0a0b0c0d0e0f", 3600, CDHCPLease::kBound);
  engine.AddLease(a);
  EXPECT_EQ(engine.FindLease("10.0.0.5"), a);
  EXPECT_EQ(engine.FindLeaseByClient("PC-A", ""), a);
  EXPECT_EQ(engine.FindLeaseByClient("", "0A0B0C0D0E0F"), a);

  // A newer lease of the same client under another address takes over the name; removing the old
  // one must not take the newer one's entries with it.
  auto b = std::make_shared<CDHCPLease>("10.0.0.9", 1, "PC-A", "0A0B0C0D0E0F", 3600, CDHCPLease::kBound);
  engine.AddLease(b);
  ASSERT_TRUE(a->Save("DHCP\\Leases\\10.0.0.5"));
  EXPECT_TRUE(engine.RemoveLease("10.0.0.5"));
  EXPECT_FALSE(RegKeyExists("DHCP\\Leases\\10.0.0.5"));
  EXPECT_FALSE(engine.FindLease("10.0.0.5"));
  EXPECT_EQ(engine.FindLeaseByClient("pc-a", ""), b);
  EXPECT_FALSE(engine.RemoveLease("10.0.0.5"));
  EXPECT_EQ(engine.GetLeaseCount(), 1u);

  // Stored leases come back only under their own address.
  ASSERT_TRUE(b->Save("DHCP\\Leases\\10.0.0.9"));
  ASSERT_TRUE(b->Save("DHCP\\Leases\\10.0.0.10"));  // key and address disagree
  RegWriteString("DHCP\\Leases\\..\\x", "IPAddress", "..");
  CTrellisEngine next;
  next.LoadConfiguration();
  EXPECT_TRUE(next.FindLease("10.0.0.9"));
  EXPECT_FALSE(next.FindLease("10.0.0.10"));
  EXPECT_EQ(next.GetLeaseCount(), 1u);
}

TEST(EngineLookupTest, ResolveHost) {
  CTrellisEngine engine;
  EXPECT_EQ(engine.ResolveHost("127.0.0.1"), 0x7F000001u);
  EXPECT_EQ(engine.ResolveHost("localhost"), 0x7F000001u);
  EXPECT_EQ(engine.ResolveHost("no-such-host.invalid"), 0xFFFFFFFFu);
  EXPECT_EQ(engine.ResolveHost(""), 0xFFFFFFFFu);
  // A literal 255.255.255.255 is an answer, not a failure.
  EXPECT_EQ(engine.LookupHost("255.255.255.255").value_or(0), 0xFFFFFFFFu);
  EXPECT_FALSE(engine.LookupHost("no-such-host.invalid"));
  try {
    engine.ResolveHostOrThrow("no-such-host.invalid");
    ADD_FAILURE() << "no exception";
  } catch (const X1SocketException& e) {
    EXPECT_EQ(e.GetCode(), uint32_t{WSAEINVAL});
    EXPECT_NE(e.GetText().find("no-such-host.invalid"), CString::npos);
  }
}

// A console monitor that records what it was sent.
class CEngObjMonitor : public CObject, public CEngineMonitor {
 public:
  explicit CEngObjMonitor(CString address) : m_address(std::move(address)) {}
  bool QueueNotification(uint32_t code, const CString& t1, const CString& t2, const CString& t3) override {
    received.push_back({code, t1, t2, t3});
    return true;
  }
  CString GetMonitorAddress() const override { return m_address; }
  struct Note {
    uint32_t code;
    CString t1, t2, t3;
  };
  std::vector<Note> received;

 private:
  CString m_address;
};

TEST(EngineNotifyTest, MonitorsGetTheirNotifications) {
  CTrellisEngine engine;
  auto near = std::make_shared<CEngObjMonitor>("10.0.0.1");
  auto far = std::make_shared<CEngObjMonitor>("10.0.0.2");
  EXPECT_TRUE(engine.AddMonitor(near));
  EXPECT_FALSE(engine.AddMonitor(near));
  EXPECT_TRUE(engine.AddMonitor(far));
  EXPECT_FALSE(engine.AddMonitor(std::make_shared<CDHCPLease>()));  // not a monitor

  engine.NotifySessionDeleted("10.0.0.7", 12, "1 2 3 4");
  engine.NotifyMachineDeleted("10.0.0.7", 30);
  engine.NotifyMonitorsAtAddress("10.0.0.2", 90, "a", "b", "");
  ASSERT_EQ(near->received.size(), 2u);
  EXPECT_EQ(near->received[0].code, 76u);
  EXPECT_EQ(near->received[0].t2, "12");
  EXPECT_EQ(near->received[0].t3, "1 2 3 4");
  EXPECT_EQ(near->received[1].t2, "30");
  EXPECT_EQ(near->received[1].t3, "");
  ASSERT_EQ(far->received.size(), 3u);
  EXPECT_EQ(far->received[2].code, 90u);

  EXPECT_TRUE(engine.RemoveMonitor(near.get()));
  engine.NotifyError("t", "x");
  EXPECT_EQ(near->received.size(), 2u);
  EXPECT_EQ(far->received.size(), 4u);

  // Callers leave a notice unmade while no console listens, and make it again once one does.
  EXPECT_TRUE(engine.HasControllers());
  EXPECT_TRUE(engine.RemoveMonitor(far.get()));
  EXPECT_FALSE(engine.RemoveMonitor(far.get()));
  EXPECT_FALSE(engine.HasControllers());
  engine.NotifyError("t", "y");
  EXPECT_EQ(far->received.size(), 4u);
  EXPECT_TRUE(engine.AddMonitor(near));
  EXPECT_TRUE(engine.HasControllers());
  engine.NotifyError("t", "z");
  ASSERT_EQ(near->received.size(), 3u);
  EXPECT_EQ(far->received.size(), 4u);
}

}  // namespace
