#include "engine/core/session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "tests/support/engine_fixture.h"

namespace {

using trellis::test::CRLFLines;
using trellis::test::CTestSessionHost;
using trellis::test::LoopbackListener;
using trellis::test::ReadFile;
using trellis::test::ReadsEnd;
using trellis::test::WaitFor;

// ---- Harness ----------------------------------------------------------------------------------

std::atomic<uint64_t> g_fakeNow{1000};
uint64_t FakeNow() { return g_fakeNow.load(); }

std::vector<std::string> ReadLines(const std::string& path) { return CRLFLines(ReadFile(path)); }

size_t CountContaining(const std::vector<std::string>& lines, const std::string& what) {
  size_t n = 0;
  for (const auto& l : lines) n += l.find(what) != std::string::npos;
  return n;
}

// A session without a thread: what the UDP and unit paths use.
class PlainSession : public CSession {
 public:
  void Exit(uint32_t code) override {
    ++exits;
    lastCode = code;
    CSession::Exit(code);
  }
  uint64_t GetClientBytesSent() const override { return sent; }
  uint64_t GetClientBytesReceived() const override { return 7; }
  uint64_t GetServerBytesSent() const override { return 0x100000000ull; }  // past 32 bits
  uint64_t GetServerBytesReceived() const override { return 1; }
  void SendAccessDenied() override { ++denied; }
  uint32_t GetAuthenticatedLevel() const override { return authLevel; }
  std::atomic<int> exits{0};
  std::atomic<uint32_t> lastCode{0xFFFF};  // until it exits
  std::atomic<int> denied{0};
  uint64_t sent = 5;
  uint32_t authLevel = 0;
};

// Besides Guest the host knows alice, the assumed user of 127.0.0.3.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.users.Add(std::make_shared<CUser>("alice", "", "", ""), nullptr);
    host_.locations.Add(std::make_shared<CLocation>("127.0.0.3", "alice"));
    previous_ = GetSessionHost();
    SetSessionHost(&host_);
    CSession::SetTickSource(&FakeNow);
    logPath_ = trellis::test::MakeTempDir("sess") + "/svc.log";
    log_ = CLogFile::OpenPath(logPath_);
    ASSERT_TRUE(log_);
    threadsAtStart_ = platform::MsgThread::LiveThreadCount();
  }
  void TearDown() override {
    EXPECT_TRUE(CTCPSession::WaitForAll(30000));
    // A session is uncounted before its thread has quite ended; the next test counts threads, so
    // this one's must be gone first (and none may be left behind).
    EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() <= threadsAtStart_; }, 10000));
    CSession::SetTickSource(nullptr);
    SetSessionHost(previous_);
  }
  std::shared_ptr<PlainSession> Attach(const char* address) {
    auto s = std::make_shared<PlainSession>();
    s->SetClient(address, 1234);
    s->SetLog(0xFFFFFFFF, log_);
    s->SetAccessRight(host_.allow);
    EXPECT_TRUE(host_.machines.AttachSession(s, &host_));
    return s;
  }

  CTestSessionHost host_;
  CSessionHost* previous_ = nullptr;
  std::string logPath_;
  std::shared_ptr<CLogFile> log_;
  size_t threadsAtStart_ = 0;
};

// ---- Records, machines, crediting -------------------------------------------------------------

TEST_F(SessionTest, NumbersMachinesAndAssumedUsers) {
  auto unattached = std::make_shared<PlainSession>();
  EXPECT_EQ(unattached->GetSessionNumber(), 0u);

  auto a = Attach("127.0.0.2");
  auto b = Attach("127.0.0.2");
  auto c = Attach("127.0.0.3");
  EXPECT_EQ(a->GetSessionNumber(), b->GetSessionNumber() - 1);
  EXPECT_EQ(c->GetSessionNumber(), CSession::LastSessionNumber());
  // One machine per address, one 71 each; the assumed user comes from the location table.
  EXPECT_EQ(host_.machines.GetCount(), 2u);
  ASSERT_EQ(host_.Count(kNotifyMachineAdded), 2u);
  EXPECT_EQ(host_.Count(kNotifyMachineUpdated), 0u);  // no 72 ahead of a machine's 71
  EXPECT_EQ(a->GetUserName(), "Guest");
  EXPECT_EQ(a->GetSecurityLevel(), 0);
  EXPECT_EQ(c->GetUserName(), "alice");
  EXPECT_EQ(c->GetSecurityLevel(), 1);
  EXPECT_EQ(host_.Notes(kNotifyMachineAdded)[1].t3, "1");

  // A session removed twice is credited and ended once; the machine goes with its last session.
  a->Terminate(9);
  a->Terminate(9);
  EXPECT_EQ(a->exits.load(), 1);
  EXPECT_EQ(host_.machines.GetCount(), 2u);
  auto m = b->GetMachine();
  EXPECT_FALSE(m->RemoveSession(a->GetSessionNumber(), 9));
  b->Terminate(4);
  c->Terminate(4);
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  EXPECT_TRUE(m->HasBeenRemoved());
  EXPECT_EQ(host_.Count(kNotifyMachineDeleted), 2u);

  auto guest = host_.users.FindUser("Guest");
  EXPECT_EQ(guest->ClientSendTraffic, 10u);
  EXPECT_EQ(guest->NonClientSendTraffic, 0x200000000ull);  // 64-bit, no wrap
  auto del = host_.Notes(kNotifySessionDeleted);
  ASSERT_EQ(del.size(), 3u);
  EXPECT_EQ(del[0].t3, "5 7 4294967296 1");
}

TEST_F(SessionTest, DeletingAMachineEndsItsSessions) {
  auto a = Attach("127.0.0.2");
  auto b = Attach("127.0.0.2");
  auto m = a->GetMachine();
  ASSERT_TRUE(host_.machines.DeleteMachine("127.0.0.2", kSessionExitMachineGone));
  EXPECT_EQ(a->exits.load(), 1);
  EXPECT_EQ(b->exits.load(), 1);
  EXPECT_EQ(a->lastCode.load(), kSessionExitMachineGone);
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  EXPECT_TRUE(m->HasBeenRemoved());
  EXPECT_EQ(host_.Count(kNotifySessionDeleted), 2u);
  EXPECT_EQ(host_.Count(kNotifyMachineDeleted), 1u);
  EXPECT_FALSE(host_.machines.DeleteMachine("127.0.0.2", kSessionExitMachineGone));
}

TEST_F(SessionTest, ConcurrentTerminateActsOnce) {
  for (int round = 0; round < 50; ++round) {
    auto s = Attach("127.0.0.4");
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) ts.emplace_back([&] { s->Terminate(2); });
    std::thread t([&] { s->GetMachine()->TerminateAllSessions(3); });
    for (auto& x : ts) x.join();
    t.join();
    EXPECT_EQ(s->exits.load(), 1);
  }
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  EXPECT_EQ(host_.users.FindUser("Guest")->ClientSendTraffic, 250u);
  const auto lines = ReadLines(logPath_);
  EXPECT_EQ(CountContaining(lines, "\tTerminated exit code"), 50u);
  EXPECT_EQ(CountContaining(lines, "\tTraffic\t "), 50u);
}

TEST_F(SessionTest, IdleSessionsEndInsideTheMachinePass) {
  auto idle = Attach("127.0.0.5");
  auto busy = Attach("127.0.0.5");
  auto untimed = Attach("127.0.0.6");
  auto dialing = Attach("127.0.0.7");
  idle->SetTimeout(true, 10);
  busy->SetTimeout(true, 10);
  untimed->SetTimeout(false, 1);
  dialing->SetTimeout(true, 1);
  dialing->SetWaitingForDialer(true);

  g_fakeNow += 9000;
  busy->ResetIdleTimer();
  host_.machines.OnTimer();
  EXPECT_EQ(idle->exits.load(), 0);
  g_fakeNow += 2000;
  // The idle session is the one to go; its machine survives through the busy one.
  host_.machines.OnTimer();
  EXPECT_EQ(idle->exits.load(), 1);
  EXPECT_EQ(idle->lastCode.load(), kSessionExitIdle);
  EXPECT_EQ(busy->exits.load(), 0);
  EXPECT_EQ(untimed->exits.load(), 0);
  EXPECT_EQ(dialing->exits.load(), 0);
  // The last session of a machine ends inside that machine's own pass: the machine leaves the
  // table while its walk runs (ASan watches the walk).
  g_fakeNow += 20000;
  host_.machines.OnTimer();
  EXPECT_EQ(busy->exits.load(), 1);
  EXPECT_EQ(host_.machines.Find("127.0.0.5"), nullptr);
  EXPECT_NE(host_.machines.Find("127.0.0.6"), nullptr);

  // An end time that has passed ends the session with 5.
  untimed->SetEndTime(true, CDateTime(2000, 1, 1));
  host_.machines.OnTimer();
  EXPECT_EQ(untimed->lastCode.load(), kSessionExitEndTime);
  host_.machines.DeleteAll();
  EXPECT_EQ(dialing->exits.load(), 1);
  EXPECT_EQ(host_.machines.GetCount(), 0u);
}

// ---- Rights, lines, request variables ---------------------------------------------------------

TEST_F(SessionTest, RightsDecideAndRefusalEndsTheSession) {
  auto ok = Attach("127.0.0.8");
  EXPECT_EQ(ok->CheckRights(AccessStage::Accept), AccessResult::Allowed);

  // A recipient that needs a login: allowed only to a session whose protocol can log in.
  auto login = std::make_shared<CRight>();
  auto r = std::make_shared<CRecipient>();
  r->MinimumSecurityLevel = 2;
  login->AddRecipient(r);
  login->IncludeDefaultRights = kDefaultRightsIgnored;
  auto proto = Attach("127.0.0.8");
  proto->authLevel = 2;
  proto->SetAccessRight(login);
  EXPECT_EQ(proto->CheckRights(AccessStage::Accept), AccessResult::LoginRequired);
  EXPECT_EQ(proto->exits.load(), 0);

  auto refused = Attach("127.0.0.8");
  refused->SetDescription("GET http://x/\r\n01/01/99 forged\tline");
  refused->SetAccessRight(login);
  EXPECT_EQ(refused->CheckRights(AccessStage::Request), AccessResult::Refused);
  EXPECT_EQ(refused->denied.load(), 1);
  EXPECT_EQ(refused->lastCode.load(), kSessionExitRefused);

  auto none = Attach("127.0.0.8");
  none->SetAccessRight(nullptr);  // nothing to grant: fails closed
  EXPECT_EQ(none->CheckRights(AccessStage::Accept), AccessResult::Refused);

  const auto lines = ReadLines(logPath_);
  const std::string head = "\t127.0.0.8\tGuest\t" + FormatString("%010u", refused->GetSessionNumber()) + "\t";
  bool found = false;
  for (const auto& l : lines) {
    if (l.find(head + "Failed authorisation:\t") == std::string::npos) continue;
    found = true;
    // The client's CR, LF and TAB cannot start a line or a field of their own.
    EXPECT_NE(l.find("GET http://x/  01/01/99 forged line"), std::string::npos) << l;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(CountContaining(lines, "forged"), 1u);
  ok->Terminate(0);
  proto->Terminate(0);
}

TEST_F(SessionTest, TimeRestrictedGrantEndsTheSessionAtTheChangeAndRefusalsAreAudited) {
  // The decision runs at a fixed instant in 2001; the slice granting it ends on 1 January 2002,
  // which the machine's pass (on the real clock) finds passed: the session ends then, with 5.
  host_.clock = [] { return CDateTime(2001, 6, 1, 12, 0, 0); };
  auto timed = std::make_shared<CRecipient>();
  timed->SpecifyTime = 1;
  auto slice = std::make_shared<CTimeSlice>();
  slice->Every = 0;
  slice->CheckTime = 1;
  slice->StartTime = CDateTime(2001, 1, 1, 0, 0, 0);
  slice->EndTime = CDateTime(2002, 1, 1, 0, 0, 0);
  timed->TimeFilter.AddInclusion(slice);
  auto right = std::make_shared<CRight>();
  right->IncludeDefaultRights = kDefaultRightsIgnored;
  right->AddRecipient(timed);

  auto a = std::make_shared<PlainSession>();
  a->SetTimeout(false, 0);
  a->SetClient("127.0.0.7", 1);
  a->SetAccessRight(right);
  ASSERT_TRUE(host_.machines.AttachSession(a, &host_));
  EXPECT_EQ(a->CheckRights(AccessStage::Accept), AccessResult::Allowed);
  // A later grant without a time restriction lifts the end an earlier timed grant had set.
  auto b = std::make_shared<PlainSession>();
  b->SetTimeout(false, 0);
  b->SetClient("127.0.0.7", 2);
  b->SetAccessRight(right);
  ASSERT_TRUE(host_.machines.AttachSession(b, &host_));
  EXPECT_EQ(b->CheckRights(AccessStage::Accept), AccessResult::Allowed);
  b->SetAccessRight(host_.allow);
  EXPECT_EQ(b->CheckRights(AccessStage::Request), AccessResult::Allowed);

  host_.machines.OnTimer();
  EXPECT_EQ(a->lastCode.load(), uint32_t{kSessionExitEndTime});
  EXPECT_EQ(b->lastCode.load(), 0xFFFFu);

  // Outside the slice: refused, with a "Failed authorisation" line in the user's audit file.
  host_.clock = [] { return CDateTime(2003, 6, 1, 12, 0, 0); };
  auto guest = host_.users.FindUser("Guest");
  guest->AuditUser = 1;
  guest->AuditOptions = 0x1FF;
  guest->OpenAuditFile();
  b->SetDescription("CONNECT example:443");
  b->SetAccessRight(right);
  EXPECT_EQ(b->CheckRights(AccessStage::Request), AccessResult::Refused);
  EXPECT_EQ(b->lastCode.load(), uint32_t{kSessionExitRefused});
  ASSERT_TRUE(guest->GetAuditFile());
  const std::string audit = ReadFile(guest->GetAuditFile()->GetPath());
  EXPECT_NE(audit.find("\t127.0.0.7\t" + FormatString("%010u", b->GetSessionNumber()) +
                       "\tFailed authorisation:\tCONNECT example:443\r\n"),
            std::string::npos)
      << audit;
  host_.machines.DeleteAll();
}

TEST_F(SessionTest, RequestVariables) {
  ASSERT_EQ(GetPropertyName(0), std::string("Client IP number"));
  EXPECT_EQ(GetPropertyName(11), std::string("User: Account balance"));
  EXPECT_EQ(GetPropertyName(26), std::string("Session description"));
  EXPECT_EQ(GetPropertyName(34), std::string("Server IP address"));
  EXPECT_EQ(GetPropertyName(35), nullptr);

  auto s = Attach("127.0.0.3");
  s->SetDescription(std::string(1500, 'd'));
  EXPECT_EQ(s->GetDescription().size(), CSession::kMaxDescription);
  auto alice = host_.users.FindUser("alice");
  alice->ClientRecvTraffic = 0x1FFFFFFFFull;
  alice->OpeningBalance = CCurrency::FromUnits(-123456);
  alice->ClientSendTrafficRate = CCurrency::FromUnits(10000);  // 1.0 per megabyte
  alice->ClientSendTraffic = 1572864;                          // 1.5 megabytes

  CTLDataObject v;
  s->GetProperty(kPropClientIP, v);
  EXPECT_TRUE(v.EqualsText("127.0.0.3"));
  s->GetProperty(kPropUserLevel, v);
  EXPECT_EQ(v.DataType, TL_DATA_INTEGER);
  EXPECT_EQ(v.nData, 1);
  s->GetProperty(kPropUserBytesReceivedFromClient, v);
  EXPECT_EQ(v.DataType, TL_DATA_DWORD);
  EXPECT_EQ(v.dwData, 0xFFFFFFFFu);  // saturated, not wrapped
  // The balance reported is the closing balance brought up to the traffic: -12.3456 - 1.5.
  s->GetProperty(kPropUserAccountBalance, v);
  EXPECT_EQ(v.nData, -13);  // truncated toward zero
  EXPECT_EQ(alice->ClosingBalance.GetUnits(), -138456);
  s->GetProperty(kPropServerIPAddress, v);
  EXPECT_TRUE(v.EqualsText("255.255.255.255"));
  s->GetProperty(kPropSessionDescription, v);
  EXPECT_EQ(v.strData.size(), CSession::kMaxDescription);

  // An unknown user leaves the caller's value as it was.
  s->SetUser("nobody", 2);
  v.SetString("kept");
  s->GetProperty(kPropUserSecondsOnLine, v);
  EXPECT_TRUE(v.EqualsText("kept"));
  s->GetProperty(kPropUserAccountBalance, v);
  EXPECT_TRUE(v.EqualsText("kept"));
  s->GetProperty(kPropHTTPURL, v);
  EXPECT_EQ(v.DataType, TL_DATA_INTEGER);
  s->Terminate(0);
}

TEST_F(SessionTest, UDPSessionsAndArchiveForms) {
  // A UDP session leaves its owner's table when it ends, and counts past 32 bits.
  struct Owner : CUDPSessionOwner {
    void RemoveUDPSession(const std::shared_ptr<CUDPSession>& s) override { removed.push_back(s.get()); }
    std::vector<const CUDPSession*> removed;
  };
  auto owner = std::make_shared<Owner>();
  auto u = std::make_shared<CUDPSession>(nullptr, owner, "127.0.0.10", 5353);
  u->AddServerBytesReceived(0x180000000ull);
  u->SetAccessRight(host_.allow);
  ASSERT_TRUE(host_.machines.AttachSession(u, &host_));
  u->Terminate(kSessionExitIdle);
  ASSERT_EQ(owner->removed.size(), 1u);
  EXPECT_EQ(owner->removed[0], u.get());
  EXPECT_EQ(host_.users.FindUser("Guest")->NonClientRecvTraffic, 0x180000000ull);
  EXPECT_EQ(host_.machines.GetCount(), 0u);

  // The machine record as a console receives it: creation time unsigned (past 2038), level
  // brought into range, a short record refused.
  CArchive out;
  out << CString("10.0.0.1") << CString("bob") << uint32_t{7} << uint32_t{0xF0000000u} << uint32_t{1}
      << CString("PC1") << CString("00-11");
  const auto bytes = out.TakeBytes();
  CMachine m;
  CArchive in(bytes.data(), bytes.size());
  m.Serialize(in);
  EXPECT_EQ(m.GetAddress(), "10.0.0.1");
  EXPECT_EQ(m.GetSecurityLevel(), 3u);
  EXPECT_EQ(static_cast<uint64_t>(m.GetCreated()), 0xF0000000u);
  EXPECT_TRUE(m.IsIdentifiedByDHCP());
  EXPECT_EQ(m.GetHardwareAddress(), "00-11");
  CArchive shortIn(bytes.data(), bytes.size() - 3);
  CMachine m2("10.0.0.2");
  EXPECT_THROW(m2.Serialize(shortIn), CArchiveException);
  EXPECT_EQ(m2.GetAddress(), "10.0.0.2");  // nothing half-read applied
}

// ---- TCP session threads ----------------------------------------------------------------------

class EchoSession : public CTCPSession {
 public:
  using CTCPSession::CTCPSession;
  bool throwOnStart = false;

 protected:
  void OnStart() override {
    if (throwOnStart) throw std::runtime_error("start failed");
  }
  void OnRead(platform::Message& msg) override {
    if (!m_clientSocket.TakeEvent(msg)) return;
    char buf[4096];
    size_t n;
    while ((n = m_clientSocket.Receive(buf, sizeof buf)) > 0) {
      m_clientSocket.Send(buf, n);
      ResetIdleTimer();
    }
  }
  void OnClose(platform::Message& msg) override {
    if (m_clientSocket.TakeEvent(msg)) Terminate(3);
  }
};

class TCPSessionTest : public SessionTest {
 protected:
  std::shared_ptr<EchoSession> Start(const char* from, int* client, bool timeouts = true) {
    int accepted = -1;
    *client = listener_.Connect(from, &accepted);
    auto s = std::make_shared<EchoSession>(nullptr, accepted);
    s->SetLog(0xFFFFFFFF, log_);
    s->SetAccessRight(host_.allow);
    s->SetTimeout(timeouts, 5);
    return s;
  }
  LoopbackListener listener_;
};

TEST_F(TCPSessionTest, ServesEndsOnCloseAndFreesItsThread) {
  const size_t threadsBefore = platform::MsgThread::LiveThreadCount();
  int client;
  {
    auto s = Start("127.0.0.2", &client);
    ASSERT_TRUE(s->OnActivity());
    ASSERT_EQ(::send(client, "ping", 4, MSG_NOSIGNAL), 4);
    char buf[4];
    ASSERT_EQ(::recv(client, buf, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(host_.machines.GetCount(), 1u);
    EXPECT_EQ(s->GetClientAddress(), "127.0.0.2");
    EXPECT_TRUE(s->IsOwnAddress("127.0.0.1"));
  }
  ::close(client);
  ASSERT_TRUE(CTCPSession::WaitForAll(30000));
  EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() == threadsBefore; }, 10000));
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  EXPECT_EQ(host_.users.FindUser("Guest")->ClientSendTraffic, 4u);
  EXPECT_EQ(host_.users.FindUser("Guest")->ClientRecvTraffic, 4u);
  const auto lines = ReadLines(logPath_);
  EXPECT_EQ(CountContaining(lines, "\tCreated:\t"), 1u);
  EXPECT_EQ(CountContaining(lines, "\tTraffic\t 4\t4\t0\t0\t"), 1u);
  EXPECT_EQ(CountContaining(lines, "\tTerminated exit code 3"), 1u);
  // time, address, user, the session number in ten digits, then the event.
  for (const auto& line : lines) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    ASSERT_GE(fields.size(), 5u) << line;
    EXPECT_EQ(fields[1], "127.0.0.2");
    EXPECT_EQ(fields[3].size(), 10u) << line;
    EXPECT_EQ(fields[3].find_first_not_of("0123456789"), std::string::npos) << line;
  }
}

TEST_F(TCPSessionTest, IdleClientIsCutOffAndAQuitFromElsewhereStillLeavesTheMachine) {
  int idleClient, quitClient;
  auto idle = Start("127.0.0.2", &idleClient);
  auto quit = Start("127.0.0.3", &quitClient, false);
  ASSERT_TRUE(idle->OnActivity());
  ASSERT_TRUE(quit->OnActivity());
  ASSERT_TRUE(WaitFor([&] { return host_.machines.GetCount() == 2; }, 10000));
  EXPECT_EQ(quit->GetUserName(), "alice");

  g_fakeNow += 6000;
  host_.machines.OnTimer();
  EXPECT_TRUE(ReadsEnd(idleClient));
  // A WM_QUIT that did not come through Terminate: the thread still ends the session properly.
  quit->PostQuit(7);
  EXPECT_TRUE(ReadsEnd(quitClient));
  ASSERT_TRUE(CTCPSession::WaitForAll(30000));
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  const auto lines = ReadLines(logPath_);
  EXPECT_EQ(CountContaining(lines, "Terminated exit code 2"), 1u);
  EXPECT_EQ(CountContaining(lines, "Terminated exit code 7"), 1u);
  ::close(idleClient);
  ::close(quitClient);
}

TEST_F(TCPSessionTest, FailedStartEndsTheSessionEvenWithoutTimeouts) {
  int client;
  auto s = Start("127.0.0.2", &client, false);
  s->throwOnStart = true;
  ASSERT_TRUE(s->OnActivity());
  EXPECT_TRUE(ReadsEnd(client));
  ASSERT_TRUE(CTCPSession::WaitForAll(30000));
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  EXPECT_EQ(CountContaining(ReadLines(logPath_), "Caught unknown exception in CTCPSession::InitInstance() - terminating"),
            1u);
  ::close(client);

  // A session that never starts still closes the descriptor it was given.
  int accepted = -1;
  int c2 = listener_.Connect("127.0.0.2", &accepted);
  { auto never = std::make_shared<EchoSession>(nullptr, accepted); }
  EXPECT_TRUE(ReadsEnd(c2));
  ::close(c2);
}

TEST_F(TCPSessionTest, ManySessionsAtOnceAndShutdownEndsThemAll) {
  constexpr int kSessions = 200;
  const size_t threadsBefore = platform::MsgThread::LiveThreadCount();
  std::vector<int> clients(kSessions);
  {
    std::vector<std::shared_ptr<EchoSession>> sessions;
    for (int i = 0; i < kSessions; ++i) {
      sessions.push_back(Start(i % 2 ? "127.0.0.2" : "127.0.0.9", &clients[i]));
      ASSERT_TRUE(sessions.back()->OnActivity());
    }
    EXPECT_EQ(CTCPSession::LiveCount(), static_cast<size_t>(kSessions));
    for (int i = 0; i < kSessions; ++i) ASSERT_EQ(::send(clients[i], "x", 1, MSG_NOSIGNAL), 1);
    for (int i = 0; i < kSessions; ++i) {
      char b;
      ASSERT_EQ(::recv(clients[i], &b, 1, MSG_WAITALL), 1) << i;
    }
    ASSERT_TRUE(WaitFor([&] { return host_.machines.GetCount() == 2; }, 10000));
  }
  // The engine's stop: every machine ends its sessions; the threads end on their own.
  host_.machines.DeleteAll();
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  ASSERT_TRUE(CTCPSession::WaitForAll(30000));
  EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() == threadsBefore; }, 10000));
  for (int c : clients) {
    EXPECT_TRUE(ReadsEnd(c));
    ::close(c);
  }
  EXPECT_EQ(host_.Count(kNotifySessionDeleted), static_cast<size_t>(kSessions));
  EXPECT_EQ(host_.Count(kNotifyMachineDeleted), 2u);

  // Stopping while sessions are still starting: those that have not joined a machine yet end
  // too, and none is left behind in the table.
  std::vector<int> late(50);
  for (int& c : late) ASSERT_TRUE(Start("127.0.0.2", &c)->OnActivity());
  CTCPSession::TerminateAll(kSessionExitMachineGone);
  ASSERT_TRUE(CTCPSession::WaitForAll(30000));
  EXPECT_EQ(host_.machines.GetCount(), 0u);
  for (int c : late) {
    EXPECT_TRUE(ReadsEnd(c));
    ::close(c);
  }
  EXPECT_TRUE(WaitFor([&] { return platform::MsgThread::LiveThreadCount() == threadsBefore; }, 10000));
}

}  // namespace
