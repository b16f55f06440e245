// The console's session and protocol state against the real engine program on loopback: the
// first log-in with its forced password change, the first requests and the mirrors they fill, a
// browser's machine and session coming and going through the web proxy (curl), ending a session,
// a wrong password and an unknown user, a lost engine and a reconnect. Then against a small fake
// engine speaking the real link: what the real engine never sends (a frame over the cap, a cut
// frame, a frame sent a byte at a time, the largest frame, a silent engine, objects of unknown names, a
// notification before the go-ahead, a wrong client type) must leave the console in step or end
// the connection, never desynchronise it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "console/model/console_texts.h"
#include "engine/config/util.h"
#include "engine/remote/frame.h"
#include "engine/remote/link.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace trellis::test {
namespace {

class ConsoleAgainstEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string log;
    ASSERT_TRUE(engine.Start(&log)) << log;
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    ASSERT_TRUE(client->Start());
    client->Login() = ConnectParams{"127.0.0.1", engine.rcPort, "Administrator", ""};
  }
  void TearDown() override {
    if (client) {
      EXPECT_TRUE(client->Stop(5000));
    }
    engine.Stop();
  }

  // The first log-in of a fresh install: the engine asks for a new password, the console asks the
  // user interface for it (Change Password) and the log-in completes with it.
  void FirstLogIn(const CString& newPassword) {
    ui.onCommand = [&](uint32_t id) {
      if (id == kCommandChangePassword) client->ChangePassword("", newPassword);
    };
    client->GoOnline();
    ASSERT_TRUE(loop.RunUntil([&] { return client->IsLoggedIn(); })) << BoxesText();
    ui.onCommand = nullptr;
  }
  bool TreeFilled() {
    return client->OutstandingRequests() == 0 && ui.HasView(VIEW_TREE_UPDATE, RC_REQ_GET_USERS) &&
           ui.HasView(VIEW_TREE_UPDATE, RC_REQ_GET_SERVICES) && ui.HasView(VIEW_TREE_UPDATE, RC_REQ_GET_POLICIES) &&
           ui.HasView(VIEW_TREE_UPDATE, RC_REQ_GET_ASSUMPTIONS) && ui.HasView(VIEW_TREE_UPDATE, RC_REQ_GET_CACHE);
  }
  std::string ViewsText() const {
    std::string s;
    for (const auto& v : ui.views)
      s += "(" + std::to_string(v.category) + " " + std::to_string(v.event.code) + " " + v.event.name + " " +
           v.event.session.description + ") ";
    return s;
  }
  std::string BoxesText() const {
    std::string s;
    for (const auto& b : ui.boxes) s += "[" + b.title + ": " + b.text + "] ";
    return s;
  }

  EngineProcess engine;
  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
};

TEST_F(ConsoleAgainstEngine, FirstLogInChangesThePasswordAndTheFirstRequestsFillTheMirrorsInOrder) {
  FirstLogIn("s3cret");
  EXPECT_TRUE(ui.online);
  EXPECT_EQ(ui.onlineServer, "127.0.0.1");
  ASSERT_EQ(ui.commands, std::vector<uint32_t>{kCommandChangePassword});
  ASSERT_EQ(ui.boxes.size(), 1u) << BoxesText();
  EXPECT_EQ(ui.boxes[0].title, kTitleAuthentication);
  EXPECT_EQ(ui.boxes[0].text, kTextMustChangePassword);
  // The engine confirmed the change, so the stored log-in password is the new one.
  EXPECT_EQ(client->Login().password, "s3cret");

  ASSERT_TRUE(loop.RunUntil([&] { return TreeFilled(); })) << BoxesText();
  // The gets complete in the order they were queued, the scheduler's last.
  std::vector<uint16_t> order;
  for (const auto& v : ui.views)
    if (v.category == VIEW_TREE_UPDATE && v.event.code != kViewClear) order.push_back(v.event.code);
  EXPECT_EQ(order, (std::vector<uint16_t>{20, 30, 50, 40, 130, 60, 150}));
  loop.RunFor(300);
  EXPECT_EQ(ui.boxes.size(), 1u) << BoxesText();

  const ConsoleMirrors& m = client->Mirrors();
  ASSERT_TRUE(m.dialer);
  EXPECT_TRUE(m.dialer->GetProfileList().empty());
  for (const char* name : {"Administrator", "Guest"}) EXPECT_TRUE(m.users->FindUser(name)) << name;
  for (const char* name : {"Administrators", "Users"}) EXPECT_TRUE(m.users->FindGroup(name)) << name;
  EXPECT_EQ(m.services->Keys(), (std::vector<CString>{"Remote Control Service", "WWW Proxy server"}));
  auto www = m.services->LookupAs<CServiceSettings>("WWW Proxy server");
  ASSERT_TRUE(www);
  EXPECT_EQ(www->PortNumber, engine.wwwPort);
  EXPECT_EQ(www->GetReportedRunningState(), SERVICE_RUNNING);
  EXPECT_EQ(m.rights.size(), 13u);
  ASSERT_TRUE(m.cache);
  EXPECT_EQ(client->LoadFailures(), 0u);

  // A put goes through the same path; the engine's notification of it updates the mirror and the
  // tree once, and a refused one says "Access denied.".
  CUser user;
  user.Name = "alice";
  user.Description = "from the console";
  EXPECT_NE(client->QueueObject(RC_REQ_ADD_USER, "alice", user), 0u);
  EXPECT_TRUE(client->ConfigurationChanged());
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_USER_ADDED, "alice"); }));
  ASSERT_TRUE(m.users->FindUser("alice"));
  EXPECT_EQ(m.users->FindUser("alice")->Description, "from the console");
  client->Request(RC_REQ_DELETE_USER, "Administrator");  // the engine never deletes it
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasBox(kTitleAuthentication) && ui.boxes.size() == 2; }));
  EXPECT_EQ(ui.boxes.back().text, kTextAccessDenied);
  client->Request(RC_REQ_SAVE_CONFIGURATION);
  EXPECT_FALSE(client->ConfigurationChanged());

  // Stopping a service shows in the tree as a state change.
  client->Request(RC_REQ_START_STOP_SERVICE, "WWW Proxy server", "0");
  ASSERT_TRUE(loop.RunUntil([&] {
    return ui.FindView(VIEW_TREE_UPDATE, RC_NOTIFY_SERVICE_STATE,
                       [](const ViewEvent& e) { return e.name == "WWW Proxy server" && e.runningState == 0; });
  }));
  EXPECT_EQ(www->GetReportedRunningState(), SERVICE_STOPPED);
}

// An origin on 127.0.0.2 that holds its connection until told, or answers at once.
class Origin {
 public:
  explicit Origin(bool answer) : m_answer(answer) {
    m_fd = ListenOn("127.0.0.2", &port);
    m_thread = std::thread([this] {
      int c = accept(m_fd, nullptr, nullptr);
      if (c < 0) return;
      ReadSome(c, 1, 5000);
      if (!m_answer) {
        while (!m_release.load()) usleep(20000);
      }
      SendAll(c, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
      close(c);
    });
  }
  ~Origin() {
    m_release = true;
    shutdown(m_fd, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    close(m_fd);
  }
  void Release() { m_release = true; }
  uint16_t port = 0;

 private:
  bool m_answer;
  int m_fd = -1;
  std::atomic<bool> m_release{false};
  std::thread m_thread;
};

TEST_F(ConsoleAgainstEngine, ABrowsersMachineAndSessionComeAndGoAndASessionIsEndedFromTheConsole) {
  FirstLogIn("pw");
  ASSERT_TRUE(loop.RunUntil([&] { return TreeFilled(); }));
  const CString browser = "127.0.0.3";
  auto curl = [&](uint16_t originPort) {
    return "curl -s -m 20 --interface " + browser + " -x http://127.0.0.1:" + std::to_string(engine.wwwPort) +
           " http://127.0.0.2:" + std::to_string(originPort) + "/page";
  };

  {  // A request the origin holds: the machine and its session appear; the console ends the session.
    Origin held(false);
    std::thread t([&] { RunCommand(curl(held.port)); });
    struct Joiner {
      Origin& o;
      std::thread& t;
      ~Joiner() {
        o.Release();
        if (t.joinable()) t.join();
      }
    } joiner{held, t};
    ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ADDED, browser); }))
        << ViewsText();
    EXPECT_TRUE(ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_MACHINE_ADDED, browser));
    ASSERT_EQ(client->Mirrors().machines.count(browser), 1u);
    const auto& sessions = client->Mirrors().machines.at(browser).sessions;
    ASSERT_EQ(sessions.size(), 1u);
    const uint32_t number = sessions.begin()->first;
    EXPECT_EQ(sessions.begin()->second.userName, "Guest");
    client->Request(RC_REQ_TERMINATE_SESSION, browser, FormatString("%u", number));
    ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_MACHINE_REMOVED, browser); }));
    EXPECT_TRUE(ui.FindView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ENDED,
                            [&](const ViewEvent& e) { return e.name == browser && e.session.number == number; }));
    EXPECT_EQ(client->Mirrors().machines.count(browser), 0u);
  }
  ui.views.clear();
  {  // A request that completes: the machine and session go when curl has its answer.
    Origin answering(true);
    std::string out;
    std::thread t([&] { RunCommand(curl(answering.port), &out); });
    t.join();
    EXPECT_EQ(out, "ok");
    ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_MACHINE_REMOVED, browser); }));
    EXPECT_TRUE(ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ADDED, browser));
    EXPECT_TRUE(ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ENDED, browser));
    EXPECT_EQ(client->Mirrors().machines.count(browser), 0u);
  }
  EXPECT_EQ(client->LoadFailures(), 0u);
}

TEST_F(ConsoleAgainstEngine, WrongPasswordUnknownUserLostEngineAndReconnect) {
  FirstLogIn("right");
  ASSERT_TRUE(loop.RunUntil([&] { return TreeFilled(); }));
  client->GoOffline();
  EXPECT_FALSE(ui.online);
  EXPECT_TRUE(ui.HasView(VIEW_ACTIVITY, kViewClear));
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, kViewClear));
  EXPECT_EQ(client->Mirrors().users->GetCount(), 0u);
  ui.boxes.clear();

  client->Login().password = "wrong";
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return !ui.boxes.empty(); }));
  EXPECT_EQ(ui.boxes[0].title, kTitleConnectProblem);
  EXPECT_EQ(ui.boxes[0].text, ConnectErrorText(LINK_BAD_PASSWORD, ""));
  EXPECT_NE(ui.boxes[0].text.find("Bad password"), CString::npos);
  EXPECT_FALSE(client->CredentialsAccepted());

  ui.boxes.clear();
  client->Login() = ConnectParams{"127.0.0.1", engine.rcPort, "nobody", "x"};
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return !ui.boxes.empty(); }));
  // The engine closes on an unknown user without a status (so names cannot be probed): the
  // console hears nothing and says so.
  EXPECT_EQ(ui.boxes[0].text, ConnectErrorText(LINK_NO_RESPONSE, ""));

  // The right password again: on-line, and then the engine goes away.
  ui.boxes.clear();
  client->Login() = ConnectParams{"127.0.0.1", engine.rcPort, "Administrator", "right"};
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return TreeFilled() && client->Mirrors().services->GetCount() == 2; }));
  EXPECT_TRUE(client->CredentialsAccepted());
  ui.views.clear();
  engine.Stop();
  ASSERT_TRUE(loop.RunUntil([&] { return !ui.online && !ui.boxes.empty(); }, 30000));
  EXPECT_EQ(ui.boxes[0].title, kTitleLookout);
  EXPECT_EQ(ui.boxes[0].text, kTextConnectionTerminated);
  EXPECT_TRUE(ui.HasView(VIEW_ACTIVITY, kViewClear));
  EXPECT_EQ(client->Mirrors().services->GetCount(), 0u);

  // Nobody listens: refused.
  ui.boxes.clear();
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return !ui.boxes.empty(); }));
  EXPECT_EQ(ui.boxes[0].text, ConnectErrorText(WSAECONNREFUSED, ""));
}

// socat relays between console and engine; killing it mid-session is a connection the engine side
// ended. The console says so, empties its mirrors and keeps no socket open.
TEST_F(ConsoleAgainstEngine, ARelayKilledMidSessionEndsTheConnectionAndTheConsoleClosesItsSocket) {
  FirstLogIn("pw");
  ASSERT_TRUE(loop.RunUntil([&] { return TreeFilled(); }));
  client->GoOffline();
  const uint16_t relay = FreePort();
  const std::string listen = "TCP-LISTEN:" + std::to_string(relay) + ",bind=127.0.0.1,reuseaddr";
  const std::string target = "TCP:127.0.0.1:" + std::to_string(engine.rcPort);
  // socat serves one connection, the console's.
  const pid_t second = fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    execlp("socat", "socat", listen.c_str(), target.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  struct Reap {
    pid_t pid;
    ~Reap() {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } reap{second};
  ASSERT_TRUE(
      WaitFor([&] { return RunCommand("ss -Htln 'sport = :" + std::to_string(relay) + "' | grep -q .") == 0; }));
  ui.boxes.clear();
  ui.views.clear();
  client->Login().port = relay;
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return client->IsLoggedIn() && TreeFilled(); })) << BoxesText();
  EXPECT_GT(client->Mirrors().users->GetCount(), 0u);
  const std::string established = "ss -Htn state established 'dport = :" + std::to_string(relay) + "'";
  std::string out;
  RunCommand(established, &out);
  EXPECT_FALSE(out.empty());

  kill(second, SIGTERM);
  ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }));
  ASSERT_FALSE(ui.boxes.empty());
  EXPECT_EQ(ui.boxes.back().title, kTitleLookout);
  EXPECT_EQ(ui.boxes.back().text, kTextConnectionTerminated);
  EXPECT_EQ(client->Mirrors().users->GetCount(), 0u);
  EXPECT_EQ(client->Mirrors().services->GetCount(), 0u);
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, kViewClear));
  // Nothing of the console's end of the connection is left (not even waiting to close).
  EXPECT_TRUE(WaitFor([&] {
    std::string left;
    RunCommand("ss -Htn 'dport = :" + std::to_string(relay) + "' | grep -v TIME-WAIT", &left);
    return left.empty();
  }));
}

// ---- A fake engine ------------------------------------------------------------------------------

// Accepts one console, runs the real server handshake (user "u", password "p", or the client
// type given) and then lets the test write frames and read requests.
class FakeEngine {
 public:
  explicit FakeEngine(uint8_t clientType = LINK_CLIENT_CONSOLE) : m_clientType(clientType) {
    m_listen = ListenOn("127.0.0.1", &port);
    m_thread = std::thread([this] {
      int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) return;
      try {
        sock.Attach(fd);
        X1Link& link = SetHandshake(sock, m_clientType, false, false, CString(), CString());
        link.SetUserLookup([](const CString& name, CString* password) {
          if (name != "u") return LinkUserState::NoSuchUser;
          *password = "p";
          return LinkUserState::Found;
        });
        link.ServerHandshake(sock);
        m_ready = true;
      } catch (const X1SocketException&) {
        m_failed = true;
      }
    });
  }
  ~FakeEngine() {
    shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
    sock.Close();
  }
  bool WaitReady() {
    return WaitFor([&] { return m_ready.load() || m_failed.load(); }, 10000) && m_ready.load();
  }
  void Message(uint16_t code, const CString& t1 = CString(), const CString& t2 = CString(),
               const CString& t3 = CString()) {
    SendRCPMessage(sock, code, t1, t2, t3);
  }
  void Raw(const std::vector<uint8_t>& bytes) { sock.Send(bytes.data(), bytes.size()); }
  // The next request the console sent.
  CTLRCPMessage NextRequest() {
    CTLRCPMessage m;
    ReceiveObject(sock, m);
    return m;
  }

  X1Socket sock;
  uint16_t port = 0;

 private:
  uint8_t m_clientType;
  int m_listen = -1;
  std::atomic<bool> m_ready{false};
  std::atomic<bool> m_failed{false};
  std::thread m_thread;
};

class ConsoleAgainstFake : public ::testing::Test {
 protected:
  void SetUp() override {
    X1Socket::InitNotifier();
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    ASSERT_TRUE(client->Start());
  }
  void TearDown() override { EXPECT_TRUE(client->Stop(5000)); }
  void Connect(FakeEngine& fake) {
    client->Login() = ConnectParams{"127.0.0.1", fake.port, "u", "p"};
    client->GoOnline();
    ASSERT_TRUE(fake.WaitReady());
    ASSERT_TRUE(loop.RunUntil([&] { return client->IsOnline(); }));
  }
  CString LostText() {
    for (const auto& b : ui.boxes)
      if (b.title == kTitleLookout) return b.text;
    return "(none)";
  }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
};

TEST_F(ConsoleAgainstFake, ObjectsOfUnknownNamesAByteAtATimeFrameAndANotificationBeforeTheGoAheadKeepTheStreamInStep) {
  FakeEngine fake;
  Connect(fake);
  // 72 and 34 for objects this console does not hold: their frames are read and dropped.
  CMachineRecord machine;
  machine.Address = "10.9.9.9";
  fake.Message(RC_NOTIFY_MACHINE_CHANGED, "10.9.9.9", "Guest", "0");
  SendObject(fake.sock, machine);
  CServiceSettings svc;
  svc.SetName("Nobody's");
  fake.Message(RC_NOTIFY_SERVICE_CHANGED, "Nobody's");
  SendUnknownObject(fake.sock, svc);
  // A machine added, sent a byte at a time.
  machine.Address = "10.1.1.1";
  machine.ComputerName = "desk";
  machine.SecurityLevel = 1;
  machine.UserName = "bob";
  CTLRCPMessage added(RC_NOTIFY_MACHINE_ADDED, "10.1.1.1", "bob", "1");
  std::vector<uint8_t> bytes = BuildFrame(added);
  std::vector<uint8_t> frame = BuildFrame(machine);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  for (uint8_t b : bytes) {
    fake.Raw({b});
    usleep(2000);
  }
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_MACHINE_ADDED, "10.1.1.1"); }));
  EXPECT_FALSE(ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_MACHINE_CHANGED));
  EXPECT_FALSE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_SERVICE_CHANGED));
  EXPECT_EQ(client->Mirrors().machines.at("10.1.1.1").record.ComputerName, "desk");

  // The log-in completes: the console queues its first requests; the engine announces a session
  // before it answers the first one, and the session is applied before the refusal.
  fake.Message(RC_NOTIFY_LOGGED_IN);
  ASSERT_TRUE(loop.RunUntil([&] { return client->IsLoggedIn(); }));
  CTLRCPMessage first = fake.NextRequest();
  EXPECT_EQ(first.m_code, RC_REQ_GET_USERS);
  fake.Message(RC_NOTIFY_SESSION_ADDED, "10.1.1.1", "7", "http://example.org/");
  fake.Message(RC_REPLY_REFUSED);
  EXPECT_EQ(fake.NextRequest().m_code, RC_REQ_GET_SERVICES);
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ADDED, "10.1.1.1"); }));
  const auto* v = ui.FindView(VIEW_ACTIVITY, RC_NOTIFY_SESSION_ADDED, [](const ViewEvent&) { return true; });
  EXPECT_EQ(v->event.session.number, 7u);
  EXPECT_EQ(v->event.session.userName, "bob");
  EXPECT_EQ(v->event.session.level, 1u);
  // Refused gets say nothing; a reply out of turn ends the connection instead of being taken for
  // the next request's.
  EXPECT_TRUE(ui.boxes.empty());
  fake.Message(RC_REPLY_FAILED, kRCInternalErrorText);
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasBox(kTitleServerError); }));
  // Next in the queue is 50; the fake answers with a reply 3 before any go-ahead.
  EXPECT_EQ(fake.NextRequest().m_code, RC_REQ_GET_ASSUMPTIONS);
  fake.Message(RC_REPLY_DONE);
  ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }));
  EXPECT_NE(LostText().find(kTextConnectionTerminated), CString::npos);
  EXPECT_EQ(client->LoadFailures(), 0u);
}

TEST_F(ConsoleAgainstFake, AFrameOverTheCapOrCutByTheEndClosesTheConnectionAndTheLargestFrameIsRead) {
  {  // The largest frame a peer may send: a machine record padded to exactly the cap is read whole
     // (and refused by its class, since it holds bytes after the record), without stalling.
    FakeEngine fake;
    Connect(fake);
    fake.Message(RC_NOTIFY_MACHINE_ADDED, "10.2.2.2", "Guest", "0");
    std::vector<uint8_t> big(4 + kMaxFrameLength, 0);
    const uint32_t n = kMaxFrameLength;
    memcpy(big.data(), &n, 4);
    // Sent while the console reads it; the message after it is read in step.
    fake.Raw(big);
    fake.Message(RC_NOTIFY_OPERATOR_MESSAGE, "after", "the big one");
    ASSERT_TRUE(loop.RunUntil([&] { return ui.HasBox("after"); }, 30000));
    EXPECT_EQ(client->LoadFailures(), 1u);
    EXPECT_TRUE(client->IsOnline());
  }
  ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }));
  ui.boxes.clear();
  {  // A length over the cap: refused before anything is buffered.
    FakeEngine fake;
    Connect(fake);
    const uint32_t n = kMaxFrameLength + 1;
    std::vector<uint8_t> header(4);
    memcpy(header.data(), &n, 4);
    fake.Raw(header);
    ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }));
    EXPECT_NE(LostText().find("larger than a frame may be"), CString::npos) << LostText();
  }
  ui.boxes.clear();
  {  // A frame cut off by the end of the connection: nothing of it is applied.
    FakeEngine fake;
    Connect(fake);
    CTLRCPMessage half(RC_NOTIFY_OPERATOR_MESSAGE, "half");
    std::vector<uint8_t> frame = BuildFrame(half);
    frame.resize(frame.size() - 2);
    fake.Raw(frame);
    fake.sock.Close();
    ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }));
    EXPECT_EQ(LostText(), kTextConnectionTerminated);
    EXPECT_FALSE(ui.HasBox("half"));
  }
}

TEST_F(ConsoleAgainstFake, ASilentEngineEndsTheTransactionAndTheConnection) {
  FakeEngine fake;
  Connect(fake);
  client->Session()->SetTransactionDeadline(800);
  fake.Message(RC_NOTIFY_LOGGED_IN);
  ASSERT_TRUE(loop.RunUntil([&] { return client->IsLoggedIn(); }));
  EXPECT_EQ(fake.NextRequest().m_code, RC_REQ_GET_USERS);
  // The engine says go ahead and then nothing more.
  fake.Message(RC_REPLY_ACCEPTED);
  ASSERT_TRUE(loop.RunUntil([&] { return !client->IsOnline(); }, 10000));
  EXPECT_NE(LostText().find("did not answer in time"), CString::npos) << LostText();
}

// The engine answers request 120 with reply 3 and only then says whether it refused the change: the
// log-in password follows the change when nothing is refused, and goes back when it is.
TEST_F(ConsoleAgainstFake, AChangedPasswordIsKeptOnlyWhenTheEngineDoesNotRefuseIt) {
  FakeEngine fake;
  Connect(fake);
  fake.Message(RC_NOTIFY_LOGGED_IN);
  ASSERT_TRUE(loop.RunUntil([&] { return client->IsLoggedIn(); }));
  // Answer the nine first requests: all refused.
  for (size_t i = 0; i < FirstRequests().size(); ++i) {
    EXPECT_EQ(fake.NextRequest().m_code, FirstRequests()[i]);
    fake.Message(RC_REPLY_REFUSED);
  }
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));

  client->ChangePassword("p", "wrong-old");
  CTLRCPMessage req = fake.NextRequest();
  EXPECT_EQ(req.m_code, RC_REQ_CHANGE_PASSWORD);
  EXPECT_EQ(req.m_text1, "u");
  EXPECT_EQ(req.m_text2, "p");
  EXPECT_EQ(req.m_text3, "wrong-old");
  fake.Message(RC_REPLY_ACCEPTED);
  fake.Message(RC_REPLY_DONE);
  fake.Message(RC_NOTIFY_OPERATOR_MESSAGE, "Invalid Password", "You have specified an invalid old password");
  ASSERT_TRUE(loop.RunUntil([&] { return ui.HasBox("Invalid Password"); }));
  EXPECT_EQ(client->Login().password, "p");

  client->ChangePassword("p", "new");
  EXPECT_EQ(fake.NextRequest().m_code, RC_REQ_CHANGE_PASSWORD);
  fake.Message(RC_REPLY_ACCEPTED);
  fake.Message(RC_REPLY_DONE);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_EQ(client->Login().password, "new");
  // A refusal of the gets said nothing.
  EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST_F(ConsoleAgainstFake, AServerForAnotherClientTypeAndAMissingServerGiveTheirTexts) {
  FakeEngine mapping(LINK_CLIENT_MAPPING);
  client->Login() = ConnectParams{"127.0.0.1", mapping.port, "u", "p"};
  client->GoOnline();
  ASSERT_TRUE(loop.RunUntil([&] { return !ui.boxes.empty(); }));
  EXPECT_EQ(ui.boxes[0].title, kTitleConnectProblem);
  EXPECT_EQ(ui.boxes[0].text, ConnectErrorText(LINK_WRONG_CLIENT_TYPE, ""));
  EXPECT_FALSE(client->IsOnline());
  // Code 103 has no text of its own; any other code shows the socket error's text.
  EXPECT_EQ(ConnectErrorText(103, "x"), "");
  EXPECT_EQ(ConnectErrorText(WSAETIMEDOUT, "Connection timed out"),
            "There was a problem connecting\nSocket error: Connection timed out");
}

}  // namespace
}  // namespace trellis::test
